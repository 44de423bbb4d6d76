#pragma once

#include <QString>

namespace vrn {

struct XsdtNode;
struct VariableInfo;
class Schema;
class DeletionPolicy;

// False, with the message the editors show, when text reads as a number outside the documented
// range of a numeric setting. Text that is not a number is left to validateValue.
bool withinDocumentedRange(const VariableInfo &info, const QString &text, QString *error = nullptr);

// Every rule a new value for an existing setting passes before it is stored, whichever editor
// it comes from: an editable value not queued for deletion, not locked against editing, not
// documented as read-only, valid for its type (normalized receives the text to store), inside
// its documented range and, for a setting with named options, one of them.
bool checkNewValue(const XsdtNode *node, const QString &text, const Schema &schema,
                   const DeletionPolicy *policy, QString *normalized, QString *error = nullptr);

} // namespace vrn
