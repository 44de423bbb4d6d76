#pragma once

#include <QList>
#include <QString>

namespace vrn {

class Comparison;
class SettingsModel;

// Copying the other side's values of chosen records into the open document, for the Compare
// page and anything else that lets the user take values from another file or version.

// The question asked before copying the records: how many values will be copied from `from`
// and, by reason, how many will not. Empty when none would be copied.
QString copyQuestion(const Comparison &comparison, const QList<int> &positions,
                     const QString &from);

// Writes the values whose copy the comparison allows through the model, as one undo step
// named after `from`, and returns the message that reports what was copied and what was not.
QString copyCompared(SettingsModel &model, const Comparison &comparison,
                     const QList<int> &positions, const QString &from);

} // namespace vrn
