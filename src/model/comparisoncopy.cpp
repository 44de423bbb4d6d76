#include "model/comparisoncopy.h"

#include "knowledge/comparison.h"
#include "model/settingsmodel.h"

#include <QCoreApplication>

#include <utility>

namespace vrn {

namespace {

struct CopyText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::CompareView)
};

} // namespace

QString copyQuestion(const Comparison &comparison, const QList<int> &positions, const QString &from)
{
    // Counted only: the values themselves are taken when the user says yes.
    int counts[kCopyVerdicts] = {};
    for (int position : positions)
        ++counts[int(comparison.verdict(position))];
    const int n = std::exchange(counts[int(CopyVerdict::Copyable)], 0);
    if (n == 0)
        return QString();
    QString question =
        CopyText::tr("Values to copy from %1 into this file: %Ln.", nullptr, n).arg(from);
    const QString rest = Comparison::notCopiedText(counts);
    if (!rest.isEmpty())
        question += QLatin1Char('\n') + CopyText::tr("Not copied: %1.").arg(rest);
    return question + QStringLiteral("\n\n") +
           CopyText::tr(
               "They become pending changes: you can review, revert and save them as usual.");
}

QString copyCompared(SettingsModel &model, const Comparison &comparison,
                     const QList<int> &positions, const QString &from)
{
    Comparison::CopyPlan plan = comparison.planCopy(positions);
    // One undo step for the whole copy, of values checked when their verdict was worked out.
    model.beginBatch([from](int changes) {
        return CopyText::tr("copy of %n values from %1", nullptr, changes).arg(from);
    });
    const int copied = model.setAcceptedValues(plan.values, QString());
    model.endBatch();
    plan.counts[int(CopyVerdict::Copyable)] = 0;
    plan.counts[int(CopyVerdict::Refused)] += int(plan.values.size()) - copied;
    const QString rest = Comparison::notCopiedText(plan.counts);
    if (copied == 0)
        return CopyText::tr("Nothing was copied: %1.").arg(rest);
    if (rest.isEmpty())
        return CopyText::tr("Values copied into this file: %Ln. Review and save when ready.",
                            nullptr, copied);
    return CopyText::tr("Values copied into this file: %Ln. Not copied: %1. Review and save when "
                        "ready.",
                        nullptr, copied)
        .arg(rest);
}

} // namespace vrn
