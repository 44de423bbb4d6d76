#pragma once

#include "document/xsdtnode.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace vrn {

// A value the file does not hold yet, to be created together with the groups on its way that
// are missing too.
struct NewValue
{
    QStringList keys; // from the top group down
    QChar type;
    QString value = {}; // as it will be stored
    // Where the first missing entry stood in the file the value comes from: the keys of its
    // neighbours there, at `level` (an index into `keys`), so that it lands between the same
    // neighbours here. When neither is found, or the level differs, it goes last.
    int level = -1;
    QString after = {};
    QString before = {};
};

// A new value and the groups it needs, built but not yet in the tree: `node`, the topmost of
// them, belongs at `row` of `parent`. Its parent is already set, so its path, rules and locks
// can be asked before it goes in.
struct Placement
{
    XsdtNode *parent = nullptr;
    size_t row = 0;
    int level = 0; // the index in the keys of `node`'s own key
    std::unique_ptr<XsdtNode> node;
    XsdtNode *value = nullptr; // `node` itself or the last of its descendants
};

// False, with `error` saying why, when the value cannot be created: something already holds
// its path, a key on its way names a value or names two groups, or it would be created inside
// an entry marked for deletion. A value is never created beside one of the same name: PixInsight
// reads only one of two.
bool placeNewValue(const XsdtNode &root, const NewValue &newValue, Placement *placement,
                   QString *error = nullptr);
// Puts the placement's entries into the tree and returns the topmost.
XsdtNode *insertPlacement(Placement &placement);
// Takes an entry out of its parent, whole, for the caller to keep or drop; its parent pointer is
// cleared, so nothing can mistake it for a part of the tree while it is out.
std::unique_ptr<XsdtNode> takeOut(XsdtNode *node);

} // namespace vrn
