#pragma once

#include "document/xsdtnode.h"

#include <QString>

namespace vrn::testdata {

// Creates the groups along a "/" path below root (reusing existing ones) and a last node of
// the given kind; a value gets the type letter and text.
XsdtNode *ensurePath(XsdtNode *root, const QString &path, XsdtNode::Kind kind,
                     QChar type = QLatin1Char('s'), const QString &value = QString());

} // namespace vrn::testdata
