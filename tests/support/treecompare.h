#pragma once

#include <QString>

namespace vrn {
struct XsdtNode;
}

namespace vrn::testdata {

// Describes the first difference between two trees, or returns an empty text when they hold
// the same kinds, keys, types, values and compressed content in the same order. With
// skipMarked, nodes of `a` marked for deletion are treated as absent; with compareForms the
// written forms (text or attribute, empty-element) must agree too.
QString treeDifference(const XsdtNode &a, const XsdtNode &b, bool skipMarked = false,
                       bool compareForms = false);

} // namespace vrn::testdata
