#include "model/comparisoncopy.h"

#include "knowledge/comparison.h"
#include "model/settingsmodel.h"

#include <QCoreApplication>

namespace vrn {

namespace {

struct CopyText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::CompareView)
};

// Values only in the other file are created here, which the user is told apart.
QString newEntriesText(int created)
{
    return CopyText::tr("New entries among them: %Ln.", nullptr, created);
}

} // namespace

QString copyQuestion(const Comparison &comparison, const QList<int> &positions, const QString &from)
{
    Comparison::CopyPlan plan = comparison.planCopy(positions);
    const int n = int(plan.values.size() + plan.additions.size());
    if (n == 0)
        return QString();
    plan.counts[int(CopyVerdict::Copyable)] = 0;
    QString question =
        CopyText::tr("Values to copy from %1 into this file: %Ln.", nullptr, n).arg(from);
    if (!plan.additions.isEmpty())
        question += QLatin1Char(' ') + newEntriesText(int(plan.additions.size()));
    const QString rest = Comparison::notCopiedText(plan.counts);
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
    const int changed = model.setAcceptedValues(plan.values, QString());
    const int created = model.addValues(plan.additions, QString());
    model.endBatch();
    plan.counts[int(CopyVerdict::Copyable)] = 0;
    plan.counts[int(CopyVerdict::Refused)] += int(plan.values.size()) - changed;
    plan.counts[int(CopyVerdict::NoPlace)] += int(plan.additions.size()) - created;
    const QString rest = Comparison::notCopiedText(plan.counts);
    const int copied = changed + created;
    if (copied == 0)
        return CopyText::tr("Nothing was copied: %1.").arg(rest);
    QString text = CopyText::tr("Values copied into this file: %Ln.", nullptr, copied);
    if (created > 0)
        text += QLatin1Char(' ') + newEntriesText(created);
    if (!rest.isEmpty())
        text += QLatin1Char(' ') + CopyText::tr("Not copied: %1.").arg(rest);
    return text + QLatin1Char(' ') + CopyText::tr("Review and save when ready.");
}

} // namespace vrn
