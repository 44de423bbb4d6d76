#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace vrn {

// How one version of a settings file is kept on disk. A keyframe is one zstd frame of the
// whole file. Any other version is made against a keyframe's bytes, so that a version that
// changes a few values of a large file takes a few kilobytes: it is cut into pieces, each a
// zstd frame made with the part of the keyframe around the same place as its reference, so
// that neither the version nor the keyframe is ever held whole while it is made. Zstd skippable
// frames in front say which keyframe (its SHA-256) and which part of it each piece needs.
// Versions stored before they were cut are one frame made against the whole keyframe, behind
// a skippable frame with the keyframe's SHA-256; they are still read.
namespace versioncodec {

// Hands out the next piece of some bytes: at most `capacity` into `buffer`, `got` set to how
// many, 0 at the end. False, with `error`, when they cannot be read.
using Reader =
    std::function<bool(char *buffer, qsizetype capacity, qsizetype *got, QString *error)>;
// Takes the next piece of what is stored; false, with `error`, when it cannot be written.
using Writer = std::function<bool(const char *data, qsizetype size, QString *error)>;
// A new reader of the same bytes, from their start.
using Reopen = std::function<Reader()>;

// How a version made against a keyframe is cut: pieces of `piece` bytes, each made against the
// keyframe from `margin` before to `margin` after where its bytes are found there.
struct Cut
{
    qsizetype piece = qsizetype(2) << 20;
    qsizetype margin = qsizetype(2) << 20;
};

// Stores the `size` bytes `content` reads as a keyframe. False, with `error`, when they cannot
// be read or written or are not `size` bytes.
bool encodeKeyframe(qint64 size, const Reader &content, const Writer &out,
                    QString *error = nullptr);

// Stores them against the keyframe whose stored bytes `keyframe` reads and whose SHA-256 is
// `keyframeHash`. Stops, with `tooLarge` set and no error, as soon as more than `limit` bytes
// (when above 0) would be stored.
bool encodeAgainst(qint64 size, const Reader &content, const Reopen &keyframe,
                   const QByteArray &keyframeHash, const Writer &out, qint64 limit, bool *tooLarge,
                   QString *error = nullptr, const Cut &cut = Cut());

// The SHA-256 of the keyframe a stored version needs, or empty for a keyframe. False when the
// bytes (at least their first 48) are none of these.
bool referenceOf(const QByteArray &stored, QByteArray *referenceHash);

// The content back. `reference` must hold the keyframe's bytes for a version made against
// one. False, with `error`, when the stored bytes are damaged: zstd checks every frame's own
// checksum, so a damaged frame never passes for content.
bool decode(const QByteArray &stored, const QByteArray &reference, QByteArray *content,
            QString *error = nullptr);
// The same into room the caller gives, of the size asked for, or null when there is none; what
// it holds after a failure is undefined.
using Room = std::function<char *(qsizetype size)>;
bool decode(const QByteArray &stored, const QByteArray &reference, const Room &room,
            QString *error = nullptr);

// A stored version's content decoded as it is read, piece by piece, the keyframe it was made
// against decoded alongside: neither stands whole in memory (a version cut in pieces is held,
// being small). zstd checks each frame's checksum; whether the content is the version recorded
// is for the caller to check.
class Decoding
{
public:
    Decoding();
    ~Decoding();
    // `stored` reads the stored version, `keyframe` the keyframe a version made against one
    // needs. False, with `error`, when the stored bytes are neither a keyframe nor a version cut
    // in pieces (versions stored as one frame against the whole keyframe need all of it at
    // once), or cannot be read.
    bool start(const Reopen &stored, const Reopen &keyframe, QString *error = nullptr);
    qint64 size() const;
    // The next bytes, at most `capacity`; `got` 0 at the end. False, with `error`, when the
    // stored bytes or the keyframe's are damaged.
    bool read(char *buffer, qsizetype capacity, qsizetype *got, QString *error = nullptr);

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace versioncodec

} // namespace vrn
