#pragma once

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace vrn::testdata {

// Creates the groups along a "/" path below root (reusing existing ones) and a last node of
// the given kind; a value gets the type letter and text.
XsdtNode *ensurePath(XsdtNode *root, const QString &path, XsdtNode::Kind kind,
                     QChar type = QLatin1Char('s'), const QString &value = QString());

// A document read from the given elements inside a settings file's frame; a test that gets
// them wrong stops at once.
std::unique_ptr<XsdtDocument> parsedSettings(const QByteArray &elements);

} // namespace vrn::testdata
