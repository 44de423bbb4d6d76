#pragma once

#include <QByteArray>
#include <QString>

namespace vrn {

// How one version of a settings file is kept on disk: a zstd frame, either of the whole file
// (a keyframe) or made with a keyframe's bytes as its reference, so that a version that
// changes a few values of a large file takes a few kilobytes. A frame made with a reference
// starts with a zstd skippable frame holding the SHA-256 of the keyframe it needs. Both are
// what `zstd -d` (with --patch-from=KEYFRAME and --long=31 for the second kind) reads too.
namespace versioncodec {

// The bytes to store for `content`; with a non-empty `reference` (whose SHA-256 is
// `referenceHash`), made against it. Empty, with `error`, when zstd refuses.
QByteArray encode(const QByteArray &content, const QByteArray &reference,
                  const QByteArray &referenceHash, QString *error = nullptr);

// The SHA-256 of the keyframe a stored version needs, or empty for a keyframe. False when the
// bytes are neither.
bool referenceOf(const QByteArray &stored, QByteArray *referenceHash);

// The content back. `reference` must hold the keyframe's bytes for a version made against
// one. False, with `error`, when the stored bytes are damaged: zstd checks every frame's own
// checksum, so a damaged frame never passes for content.
bool decode(const QByteArray &stored, const QByteArray &reference, QByteArray *content,
            QString *error = nullptr);

} // namespace versioncodec

} // namespace vrn
