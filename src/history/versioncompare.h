#pragma once

#include "knowledge/compare.h"

#include <QList>

namespace vrn {

class XsdtDocument;

// The value entries in which two versions of a settings file differ, `older` taking the place
// of the first document. The one place the history compares, so that it follows the engine
// the rest of the program compares with.
QList<DiffRecord> compareVersions(const XsdtDocument &older, const XsdtDocument &newer);

} // namespace vrn
