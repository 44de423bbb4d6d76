#pragma once

#include "document/xsdtnode.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

// One parsed settings file. Text outside the root element is kept verbatim in `head` and
// `tail` so that an untouched compact file writes back byte for byte.
class XsdtDocument
{
public:
    QString head;
    XsdtNode root;
    QString tail;
    bool compactLayout = false;

    // Byte sequences of the file that are not UTF-8. They are read as U+FFFD and a save writes
    // them that way, so the user is told before saving: how many, and where the first is.
    struct InvalidUtf8
    {
        int count = 0;
        qsizetype line = 0;
        qsizetype column = 0;
        QString path; // the first setting holding one; empty when outside every setting
    };
    InvalidUtf8 invalidUtf8;

    XsdtDocument() = default;
    XsdtDocument(const XsdtDocument &) = delete;
    XsdtDocument &operator=(const XsdtDocument &) = delete;

    // Told how many of the file's bytes have been read, and the file's size, every few MB and
    // once more when all of it has been read; called on the thread that parses.
    using Progress = std::function<void(qint64 done, qint64 total)>;

    // Told, every few MB while reading, that the bytes before an offset will not be looked at
    // again: the caller may give their memory back.
    using LetGo = std::function<void(qsizetype before)>;

    // Replaces the content with the parsed bytes. On failure the document holds no nodes.
    bool parse(const QByteArray &bytes, QString *error = nullptr, const Progress &progress = {});
    // The same, telling `letGo` what has been read. Only well-formed UTF-8 is read in place and
    // so let go of; other bytes are read through a decoded copy and needed to the end.
    bool parse(QByteArrayView bytes, QString *error, const Progress &progress, const LetGo &letGo);
    // What becomes of an element handed to a sieve: a value dropped goes at once, a group only
    // when nothing in it was kept.
    enum class Sift { Keep, Drop, Stop };
    // Told of each value as soon as it is read, and of each group once it is complete, with the
    // groups that hold it in place.
    using Sieve = std::function<Sift(const XsdtNode &element)>;
    // Reads the bytes with every check parse() makes, keeping only what `sieve` keeps: a file
    // read to be compared with another never stands whole beside it. Stop ends the reading;
    // false is then returned with no error. Not for saving: the layout is not told, and
    // invalid UTF-8 not placed.
    bool parseSifted(QByteArrayView bytes, const Sieve &sieve, QString *error,
                     const Progress &progress = {}, const LetGo &letGo = {});
    // Reads the bytes with every check parse() makes, but keeps only the elements on the way to
    // the given setting paths and everything below them: a look-up of a few settings in a
    // large file then costs a fraction of the time and memory. Not for saving: the layout is
    // not told, and invalid UTF-8 not placed.
    bool parsePaths(const QByteArray &bytes, const QStringList &paths, QString *error = nullptr);
    // Whether the bytes read as a settings file, with every check parse() makes and the same
    // message, at the cost of the bytes alone: nothing is kept of them.
    static bool reads(const QByteArray &bytes, QString *error = nullptr,
                      const Progress &progress = {});
    // The whole file in the compact layout, nodes marked for deletion left out.
    QByteArray serialize() const;
    // Whether the bytes read back as this document's tree, nodes marked for deletion left out.
    // They are read as they stand, without a decoded copy, and each element is compared as soon
    // as it is read and then dropped, so no second tree is built either. On failure `where`
    // gets the path of the first difference, or `error` the reason the bytes do not parse.
    bool readsBackAs(const QByteArray &bytes, QString *error, QString *where) const;

    void clear();
    XsdtNode *findPath(QStringView path) const { return root.findPath(path); }
    void revertAll();
    // What a save would write, in tree order: the entries marked for deletion, the values
    // edited (not inside new entries), and the topmost entries created since the file was read
    // (not those inside an entry marked for deletion). One walk of the whole tree.
    struct PendingNodes
    {
        QList<XsdtNode *> deleted;
        QList<XsdtNode *> changed;
        QList<XsdtNode *> added;
    };
    PendingNodes pendingNodes() const;
    QList<XsdtNode *> changedValues() const;
    QList<XsdtNode *> deletedNodes() const;
    QList<XsdtNode *> addedNodes() const;
    int pendingChangeCount() const;
    void commit();

private:
    friend bool parseDecoded(XsdtDocument &, const QByteArray &, QString *, const Progress &);
    // Bytes of the file this document was last read from or written to, so that writing can
    // reserve its output at once.
    mutable qsizetype m_byteSizeHint = 0;
};

// Whether the bytes are well-formed UTF-8, as QByteArray::isValidUtf8() says, in a fraction of
// its time on text that is nearly all ASCII: parse() asks it of every file and reads in place
// only such a file.
bool isWellFormedUtf8(const char *data, qsizetype size);

} // namespace vrn
