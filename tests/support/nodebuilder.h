#pragma once

#include "document/xsdtnode.h"

#include <QString>

namespace vrn::testdata {

// Creates the groups along a "/" path below root, reusing existing ones.
XsdtNode *addGroup(XsdtNode &root, const QString &path);
// The same, ending in a value of the given type whose current and original text are value.
XsdtNode *addValue(XsdtNode &root, const QString &path, QChar type, const QString &value);

} // namespace vrn::testdata
