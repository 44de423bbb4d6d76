#pragma once

#include <QList>
#include <QString>

namespace vrn {

class DeletionPolicy;
class XsdtDocument;
struct XsdtNode;

// One value entry in which two settings documents differ.
struct DiffRecord
{
    enum Kind { Different = 0, OnlyHere = 1, OnlyThere = 2 };

    QString path;
    int kind = Different;
    XsdtNode *here = nullptr;  // the entry in this document; null for OnlyThere
    XsdtNode *there = nullptr; // the entry in the other document; null for OnlyHere
};

// The value entries of `here` that differ from `there` or are missing there, in document
// order, followed by the entries found only in `there`, in its document order. Entries queued
// for deletion take no part. When `there` holds a path twice, its later entry is the one
// compared; every duplicate of `here` gets its own record. Changes neither document.
QList<DiffRecord> compareDocuments(const XsdtDocument &here, const XsdtDocument &there);

// Whether the other document's value may be written over this one: both entries are plain
// editable values, this one is not going away, and the policy (when given) allows it.
bool isCopyable(const DiffRecord &record, const DeletionPolicy *policy);

} // namespace vrn
