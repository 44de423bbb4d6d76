#pragma once

#include <QString>

namespace vrn {

class DeletionPolicy;
class Schema;

struct BuiltInLoad
{
    bool schemaLoaded = false;
    bool policyLoaded = false;
    QString schemaError;
    QString policyError;
};

// Loads the settings descriptions and deletion rules compiled into the program (the
// varnelresources library). Each caller words the failure for its own users. A policy that failed
// to load is left empty, so it refuses every deletion.
BuiltInLoad loadBuiltInKnowledge(Schema &schema, DeletionPolicy &policy);

} // namespace vrn
