#include "knowledge/valuecheck.h"

#include "document/values.h"
#include "document/xsdtnode.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>

#include <limits>

namespace vrn {

namespace {

struct ValueCheckText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::ValueCheck)
};

QString shortest(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

bool refuse(QString *error, const QString &message)
{
    if (error && error->isEmpty())
        *error = message;
    return false;
}

} // namespace

bool withinDocumentedRange(const VariableInfo &info, const QString &text, QString *error)
{
    if (!info.hasRange || (info.kind != EditorKind::Integer && info.kind != EditorKind::Unsigned &&
                           info.kind != EditorKind::Real))
        return true;
    bool ok = false;
    const double number = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || (number >= info.min && number <= info.max))
        return true;
    // A range documented on one side only has the largest double as its other bound, which
    // reads like noise in a message.
    constexpr double kOpen = std::numeric_limits<double>::max();
    if (info.max >= kOpen)
        return refuse(error, ValueCheckText::tr("%1: %2 is below the allowed minimum %3")
                                 .arg(info.label, shortest(number), shortest(info.min)));
    if (info.min <= -kOpen)
        return refuse(error, ValueCheckText::tr("%1: %2 is above the allowed maximum %3")
                                 .arg(info.label, shortest(number), shortest(info.max)));
    return refuse(error,
                  ValueCheckText::tr("%1: %2 is outside the allowed range %3 to %4")
                      .arg(info.label, shortest(number), shortest(info.min), shortest(info.max)));
}

bool checkNewValue(const XsdtNode *node, const QString &text, const Schema &schema,
                   const DeletionPolicy *policy, QString *normalized, QString *error)
{
    if (!node || !node->isValue())
        return refuse(
            error,
            ValueCheckText::tr("%1 is a group, not a value.").arg(node ? node->path() : QString()));
    if (node->isDeleted())
        return refuse(error, ValueCheckText::tr("%1 is queued for deletion.").arg(node->path()));
    QString message;
    if (!node->compression().isEmpty())
        return refuse(error, ValueCheckText::tr("%1: %2").arg(
                                 node->key, ValueCheckText::tr("Protected value type: shown for "
                                                               "reference only.")));
    if (!node->isEditable()) {
        validateValue(node->type, text, nullptr, &message);
        return refuse(error, ValueCheckText::tr("%1: %2").arg(node->key, message));
    }
    if (policy && policy->isEditLocked(node))
        return refuse(error, ValueCheckText::tr("%1 is part of the module registry or version "
                                                "records and is locked against editing.")
                                 .arg(node->key));
    // Most values are no documented setting; all this check needs of one is that it has no
    // rules, and making its label for nothing cost most of checking it.
    const VariableInfo info = schema.mayBeDocumented(node) ? schema.info(node) : VariableInfo();
    if (info.readOnly)
        return refuse(error, ValueCheckText::tr("%1: %2").arg(
                                 node->key, ValueCheckText::tr("Documented by PixInsight as "
                                                               "read-only or write-only.")));
    QString stored;
    if (!validateValue(node->type, text, &stored, &message))
        return refuse(error, ValueCheckText::tr("%1: %2").arg(node->key, message));
    if (!withinDocumentedRange(info, stored, error))
        return false;
    if (info.kind == EditorKind::Choice) {
        const int number = stored.toInt();
        QStringList options;
        bool known = false;
        for (const auto &choice : info.choices) {
            known = known || choice.first == number;
            options.append(ValueCheckText::tr("%1 = %2").arg(choice.first).arg(choice.second));
        }
        if (!known)
            return refuse(error, ValueCheckText::tr("%1: %2 is not one of the options (%3).")
                                     .arg(info.label, stored, options.join(QStringLiteral(", "))));
    }
    if (normalized)
        *normalized = stored;
    return true;
}

} // namespace vrn
