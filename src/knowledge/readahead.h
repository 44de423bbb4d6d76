#pragma once

#include <QtGlobal>

namespace vrn {

class FileBytes;

// Bytes still to be filled (FileBytes::fillFrom) filled as the reader comes to them, a few
// megabytes ahead, so that they never stand whole beside what is built from them. Only what is
// well-formed UTF-8 is filled ahead, as the reader reads only such text as it stands: the rest
// stays zeros, which no settings file holds, so that the reader fails there instead, and the
// caller reads the bytes again whole (cutShort()).
class ReadAhead
{
public:
    explicit ReadAhead(FileBytes &bytes);
    // Begins with bytes made ready to be filled; bytes already whole are left as they are.
    void start();
    // The reader lets go of the bytes before `offset`, and is about a megabyte past it.
    void readPast(qsizetype offset);
    // Fills no more ahead: the bytes are read whole instead.
    void stop() { m_filling = false; }
    // Whether the reader may have met zeros in place of the bytes, or bytes that were not all
    // there was to have.
    bool cutShort() const;

private:
    static constexpr qsizetype kAhead = qsizetype(8) << 20;
    FileBytes &m_bytes;
    bool m_started = false;
    bool m_filling = false;
    qsizetype m_checked = 0;
};

} // namespace vrn
