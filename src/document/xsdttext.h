#pragma once

#include <QByteArray>
#include <QDebug>
#include <QLatin1String>
#include <QString>
#include <QStringView>

namespace vrn {

// A string that is set whole and then only read, in 16 bytes instead of QString's 24: it keeps
// the same shared data a QString would, but its position in that data as an offset and its
// length in 31 bits. Every node holds two (the value and the value as the file holds it), so
// in a large file the difference is megabytes. Text read from a file that is all ASCII, as
// nearly every value is, is kept as Latin-1 bytes, half the size of UTF-16; either way one
// character is one unit, so sizes and positions mean what they mean for a QString. It reads
// like a const QString where the program needs one.
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

    // Appends, as QString's += does.
    template <typename More>
    XsdtText &operator+=(const More &more)
    {
        QString text = toString();
        text += more;
        return *this = text;
    }

    // Shares the data of Latin-1 text.
    static XsdtText fromLatin1(const QByteArray &latin1);

    // A QString with the same characters; shares the data unless it is Latin-1.
    QString toString() const;
    operator QString() const { return toString(); }
    // Calls f with a QLatin1String or a QStringView of the text, whichever it holds.
    template <typename F>
    decltype(auto) visit(F &&f) const
    {
        if (isLatin1())
            return f(QLatin1String(latin1Data(), size()));
        return f(QStringView(utf16Data(), size()));
    }

    qsizetype size() const { return qsizetype(m_size & ~kLatin1); }
    bool isEmpty() const { return size() == 0; }
    bool isNull() const { return !m_d && m_offset != kEmpty; }
    bool isLatin1() const { return m_size & kLatin1; }
    // Whether both hold the very same data, which tells most unchanged values apart without a
    // look at their text.
    bool sharesData(const XsdtText &other) const
    {
        return m_d && m_d == other.m_d && m_offset == other.m_offset;
    }
    // The block the text is kept in, to measure what it costs.
    QArrayData *block() const { return m_d; }

    QChar at(qsizetype i) const
    {
        Q_ASSERT(i >= 0 && i < size());
        return isLatin1() ? QChar(uchar(latin1Data()[i])) : QChar(utf16Data()[i]);
    }
    // const: an assignment through it would change a copy and be lost.
    const QChar operator[](qsizetype i) const { return at(i); }
    QString left(qsizetype n) const
    {
        return visit([n](auto v) { return owned(v.left(n)); });
    }
    QString mid(qsizetype from, qsizetype n = -1) const { return toString().mid(from, n); }
    QString trimmed() const { return toString().trimmed(); }
    template <typename Text>
    bool contains(const Text &text, Qt::CaseSensitivity cs = Qt::CaseSensitive) const
    {
        return visit([&](auto v) { return v.contains(text, cs); });
    }
    template <typename Text>
    bool startsWith(const Text &text, Qt::CaseSensitivity cs = Qt::CaseSensitive) const
    {
        return visit([&](auto v) { return v.startsWith(text, cs); });
    }
    qsizetype count(QChar c) const;
    int toInt(bool *ok = nullptr, int base = 10) const { return toString().toInt(ok, base); }
    qlonglong toLongLong(bool *ok = nullptr, int base = 10) const
    {
        return toString().toLongLong(ok, base);
    }
    double toDouble(bool *ok = nullptr) const { return toString().toDouble(ok); }
    QByteArray toUtf8() const
    {
        return isLatin1() && isAscii() ? QByteArray(latin1Data(), size()) : toString().toUtf8();
    }

    friend bool operator==(const XsdtText &a, const XsdtText &b)
    {
        return a.size() == b.size() &&
               (a.sharesData(b) || b.visit([&a](auto v) { return a.equals(v); }));
    }
    friend bool operator==(const XsdtText &a, const QString &b) { return a.equals(QStringView(b)); }
    friend bool operator==(const XsdtText &a, QStringView b) { return a.equals(b); }
    friend bool operator==(const XsdtText &a, QLatin1String b) { return a.equals(b); }

private:
    friend class XsdtKey;
    static QString owned(QLatin1String text) { return QString(text); }
    static QString owned(QStringView text) { return text.toString(); }
    template <typename View>
    bool equals(View b) const
    {
        return size() == b.size() && visit([b](auto v) { return v == b; });
    }
    bool isAscii() const;
    const char *latin1Data() const { return reinterpret_cast<const char *>(data()); }
    const char16_t *utf16Data() const { return reinterpret_cast<const char16_t *>(data()); }
    const void *data() const
    {
        if (!m_d)
            return m_offset == kEmpty ? static_cast<const void *>(u"") : nullptr;
        return reinterpret_cast<const char *>(m_d) + m_offset;
    }
    void adopt(const QString &text);
    void release();

    static constexpr quint32 kEmpty = 1;           // with no data: an empty string, not a null one
    static constexpr quint32 kLatin1 = 0x80000000; // in m_size: the data is Latin-1 bytes

    QArrayData *m_d = nullptr; // holds one reference
    quint32 m_offset = 0;      // bytes from m_d to the first character
    quint32 m_size = 0;
};

inline QDebug operator<<(QDebug debug, const XsdtText &text)
{
    return debug << text.toString();
}

} // namespace vrn

// So that a text joins others in a string built with +, as a QString does.
template <>
struct QConcatenable<vrn::XsdtText> : private QAbstractConcatenable
{
    using type = vrn::XsdtText;
    using ConvertTo = QString;
    enum { ExactSize = true };
    static qsizetype size(const vrn::XsdtText &text) { return text.size(); }
    static inline void appendTo(const vrn::XsdtText &text, QChar *&out)
    {
        text.visit([&out](auto v) {
            for (qsizetype i = 0; i < v.size(); ++i)
                *out++ = v.at(i);
        });
    }
};
