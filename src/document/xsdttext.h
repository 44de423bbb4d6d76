#pragma once

#include <QDebug>
#include <QString>
#include <QStringView>

namespace vrn {

// A string that is set whole and then only read, in 16 bytes instead of QString's 24: it keeps
// the same shared data a QString would, but its position in that data as an offset and its
// length in 32 bits. Every node holds one (the value as the file holds it), so in a large file
// the difference is megabytes. It reads like a const QString where the program needs one.
class XsdtText
{
public:
    XsdtText() = default;
    XsdtText(const QString &text) { adopt(text); }
    XsdtText(const XsdtText &other);
    XsdtText(XsdtText &&other) noexcept;
    XsdtText &operator=(const XsdtText &other);
    XsdtText &operator=(XsdtText &&other) noexcept;
    XsdtText &operator=(const QString &text) { return *this = XsdtText(text); }
    ~XsdtText() { release(); }

    // A QString sharing the data, as the one it was made from.
    QString toString() const;
    operator QString() const { return toString(); }
    QStringView view() const { return QStringView(data(), qsizetype(m_size)); }

    qsizetype size() const { return qsizetype(m_size); }
    bool isEmpty() const { return m_size == 0; }
    bool isNull() const { return !m_d && m_offset != kEmpty; }
    const QChar *constData() const { return reinterpret_cast<const QChar *>(data()); }
    QChar at(qsizetype i) const { return view().at(i); }
    // const: an assignment through it would change a copy and be lost.
    const QChar operator[](qsizetype i) const { return view().at(i); }
    QString left(qsizetype n) const { return view().left(n).toString(); }
    QString mid(qsizetype from, qsizetype n = -1) const { return view().mid(from, n).toString(); }
    bool contains(QStringView text, Qt::CaseSensitivity cs = Qt::CaseSensitive) const
    {
        return view().contains(text, cs);
    }
    bool startsWith(QStringView text, Qt::CaseSensitivity cs = Qt::CaseSensitive) const
    {
        return view().startsWith(text, cs);
    }
    qsizetype count(QChar c) const { return view().count(c); }

    friend bool operator==(const XsdtText &a, const XsdtText &b) { return same(a, b.view()); }
    friend bool operator==(const XsdtText &a, const QString &b) { return same(a, QStringView(b)); }
    friend bool operator==(const XsdtText &a, QStringView b) { return same(a, b); }
    friend bool operator==(const XsdtText &a, QLatin1String b) { return a.view() == b; }

private:
    static bool same(const XsdtText &a, QStringView b)
    {
        return a.size() == b.size() && (a.data() == b.utf16() || a.view() == b);
    }
    const char16_t *data() const
    {
        if (!m_d)
            return m_offset == kEmpty ? u"" : nullptr;
        return reinterpret_cast<const char16_t *>(reinterpret_cast<const char *>(m_d) + m_offset);
    }
    void adopt(const QString &text);
    void release();

    static constexpr quint32 kEmpty = 1; // with no data: an empty string rather than a null one

    QArrayData *m_d = nullptr; // holds one reference
    quint32 m_offset = 0;      // bytes from m_d to the first character
    quint32 m_size = 0;
};

inline QDebug operator<<(QDebug debug, const XsdtText &text)
{
    return debug << text.view();
}

} // namespace vrn
