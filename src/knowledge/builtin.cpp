#include "knowledge/builtin.h"

#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"

#include <QFile>

namespace vrn {

namespace {

QByteArray resource(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

BuiltInLoad loadBuiltInKnowledge(Schema &schema, DeletionPolicy &policy)
{
    BuiltInLoad result;
    const QByteArray overlay = resource(QStringLiteral(":/schema/overlay.json"));
    result.schemaLoaded = schema.load(resource(QStringLiteral(":/schema/globals.json")), overlay,
                                      &result.schemaError);
    result.policyLoaded = policy.load(overlay, &result.policyError);
    if (!result.policyLoaded)
        policy = DeletionPolicy();
    return result;
}

} // namespace vrn
