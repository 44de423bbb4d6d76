#pragma once

#include "document/xsdttext.h"

#include <QDebug>
#include <QString>

#include <utility>

namespace vrn {

struct XsdtNode;

// A node's value in 8 bytes. Until it is edited it holds nothing and reads as the node's
// `originalValue`, which sits right before it in the node: a large file holds about a million
// values and nearly all of them stay as read. An edit gives it a text of its own; setting it to
// the very text of the original (a revert, a save) lets that go again. It reads like XsdtText.
class XsdtValueText
{
public:
    XsdtValueText(const XsdtValueText &) = delete;
    ~XsdtValueText() { delete m_edited; }

    XsdtValueText &operator=(const XsdtText &text)
    {
        if (&text == &original() || text.sharesData(original())) {
            delete std::exchange(m_edited, nullptr);
        } else if (m_edited) {
            *m_edited = text;
        } else {
            m_edited = new XsdtText(text);
        }
        return *this;
    }
    XsdtValueText &operator=(const QString &text) { return *this = XsdtText(text); }
    XsdtValueText &operator=(const XsdtValueText &other) { return *this = other.text(); }
    template <typename More>
    XsdtValueText &operator+=(const More &more)
    {
        XsdtText changed = text();
        changed += more;
        return *this = changed;
    }

    const XsdtText &text() const { return m_edited ? *m_edited : original(); }
    // Holds a text of its own, which may still read the same as the original.
    bool hasOwnText() const { return m_edited; }
    operator const XsdtText &() const { return text(); }
    operator QString() const { return text().toString(); }
    QString toString() const { return text().toString(); }

    template <typename F>
    decltype(auto) visit(F &&f) const
    {
        return text().visit(std::forward<F>(f));
    }
    qsizetype size() const { return text().size(); }
    bool isEmpty() const { return text().isEmpty(); }
    bool isNull() const { return text().isNull(); }
    bool isLatin1() const { return text().isLatin1(); }
    bool sharesData(const XsdtText &other) const { return text().sharesData(other); }
    QArrayData *block() const { return text().block(); }
    QChar at(qsizetype i) const { return text().at(i); }
    const QChar operator[](qsizetype i) const { return text().at(i); }
    QString left(qsizetype n) const { return text().left(n); }
    QString mid(qsizetype from, qsizetype n = -1) const { return text().mid(from, n); }
    QString trimmed() const { return text().trimmed(); }
    template <typename Text>
    bool contains(const Text &t, Qt::CaseSensitivity cs = Qt::CaseSensitive) const
    {
        return text().contains(t, cs);
    }
    template <typename Text>
    bool startsWith(const Text &t, Qt::CaseSensitivity cs = Qt::CaseSensitive) const
    {
        return text().startsWith(t, cs);
    }
    qsizetype count(QChar c) const { return text().count(c); }
    int toInt(bool *ok = nullptr, int base = 10) const { return text().toInt(ok, base); }
    qlonglong toLongLong(bool *ok = nullptr, int base = 10) const
    {
        return text().toLongLong(ok, base);
    }
    double toDouble(bool *ok = nullptr) const { return text().toDouble(ok); }
    QByteArray toUtf8() const { return text().toUtf8(); }

    friend bool operator==(const XsdtValueText &a, const XsdtValueText &b)
    {
        return a.text() == b.text();
    }
    friend bool operator==(const XsdtValueText &a, const XsdtText &b) { return a.text() == b; }
    friend bool operator==(const XsdtValueText &a, const QString &b) { return a.text() == b; }
    friend bool operator==(const XsdtValueText &a, QStringView b) { return a.text() == b; }
    friend bool operator==(const XsdtValueText &a, QLatin1String b) { return a.text() == b; }

private:
    friend struct XsdtNode;
    XsdtValueText() = default;
    // The node places its originalValue right before this (checked where the node is defined).
    const XsdtText &original() const { return *(reinterpret_cast<const XsdtText *>(this) - 1); }

    XsdtText *m_edited = nullptr;
};

inline QDebug operator<<(QDebug debug, const XsdtValueText &text)
{
    return debug << text.toString();
}

} // namespace vrn

template <>
struct QConcatenable<vrn::XsdtValueText> : private QAbstractConcatenable
{
    using type = vrn::XsdtValueText;
    using ConvertTo = QString;
    enum { ExactSize = true };
    static qsizetype size(const vrn::XsdtValueText &text) { return text.size(); }
    static inline void appendTo(const vrn::XsdtValueText &text, QChar *&out)
    {
        QConcatenable<vrn::XsdtText>::appendTo(text.text(), out);
    }
};
