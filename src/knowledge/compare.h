#pragma once

#include <QList>
#include <QString>

#include <memory>

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
// for deletion take no part. A path held more than once is paired by rank: the k-th entry of a
// path here with the k-th entry of that path there; the entries left over on either side are
// "only here" or "only there". Changes neither document.
QList<DiffRecord> compareDocuments(const XsdtDocument &here, const XsdtDocument &there);

// The other document indexed once, for comparing a document that changes against it again
// and again: after an edit of one value only that value's record needs to be made anew.
class DocumentComparison
{
public:
    explicit DocumentComparison(const XsdtDocument &there);
    ~DocumentComparison();
    DocumentComparison(const DocumentComparison &) = delete;
    DocumentComparison &operator=(const DocumentComparison &) = delete;

    // The same records as compareDocuments(here, there).
    QList<DiffRecord> compare(const XsdtDocument &here);
    // The record the comparison makes for one value of `here` that takes part in it (not
    // queued for deletion); false when that value is the same in the other document. Pairs
    // the value as the last compare() did, so no entry of `here` may have been queued,
    // unqueued, added or removed since.
    bool recordFor(XsdtNode *value, DiffRecord *record) const;

private:
    class Index;
    std::unique_ptr<Index> m_index;
};

// Whether the other document's value may be written over this one: both entries are plain
// editable values, this one is not going away, and the policy (when given) allows it.
bool isCopyable(const DiffRecord &record, const DeletionPolicy *policy);

} // namespace vrn
