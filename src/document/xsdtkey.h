#pragma once

#include "document/xsdttext.h"

#include <QDebug>
#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <utility>

namespace vrn {

// A node's key in 16 bytes instead of QString's 24: it shares the data of the string it is
// given (the reader's keys come from shared blocks) and reads like a const QString; view()
// gives a QStringView of it.
class XsdtKey
{
public:
    XsdtKey() = default;
    XsdtKey(const QString &key)
        : m_text(key)
    {}
    XsdtKey &operator=(const QString &key)
    {
        m_text = key;
        return *this;
    }
    // Appends, as QString's += does.
    template <typename More>
    XsdtKey &operator+=(const More &more)
    {
        QString key = toString();
        key += more;
        return *this = key;
    }

    // Valid while the key is not assigned again.
    QStringView view() const { return QStringView(m_text.utf16Data(), m_text.size()); }
    QString toString() const { return m_text.toString(); }
    operator QString() const { return toString(); }

    qsizetype size() const { return m_text.size(); }
    bool isEmpty() const { return m_text.isEmpty(); }
    bool isNull() const { return m_text.isNull(); }
    QChar at(qsizetype i) const { return view().at(i); }
    const QChar operator[](qsizetype i) const { return view().at(i); }
    QString left(qsizetype n) const { return view().left(n).toString(); }
    QString mid(qsizetype from, qsizetype n = -1) const { return toString().mid(from, n); }
    QString toLower() const { return view().toString().toLower(); }
    template <typename... Args>
    bool contains(Args &&...args) const
    {
        return view().contains(std::forward<Args>(args)...);
    }
    template <typename... Args>
    bool startsWith(Args &&...args) const
    {
        return view().startsWith(std::forward<Args>(args)...);
    }
    template <typename... Args>
    bool endsWith(Args &&...args) const
    {
        return view().endsWith(std::forward<Args>(args)...);
    }
    template <typename... Args>
    qsizetype count(Args &&...args) const
    {
        return view().count(std::forward<Args>(args)...);
    }
    template <typename... Args>
    qsizetype indexOf(Args &&...args) const
    {
        return view().indexOf(std::forward<Args>(args)...);
    }
    template <typename... Args>
    int compare(Args &&...args) const
    {
        return view().compare(std::forward<Args>(args)...);
    }

    friend bool operator==(const XsdtKey &a, const XsdtKey &b) { return a.view() == b.view(); }
    friend bool operator==(const XsdtKey &a, const QString &b) { return a.view() == b; }
    friend bool operator==(const XsdtKey &a, QStringView b) { return a.view() == b; }
    friend bool operator==(const XsdtKey &a, QLatin1String b) { return a.view() == b; }
    friend bool operator==(const XsdtKey &a, const char16_t *b) { return a.view() == b; }
    friend bool operator<(const XsdtKey &a, const XsdtKey &b) { return a.view() < b.view(); }
    friend size_t qHash(const XsdtKey &key, size_t seed = 0) { return qHash(key.view(), seed); }

private:
    XsdtText m_text; // always UTF-16: it is only ever given a QString
};

inline QDebug operator<<(QDebug debug, const XsdtKey &key)
{
    return debug << key.view();
}

} // namespace vrn

template <>
struct QConcatenable<vrn::XsdtKey> : private QAbstractConcatenable
{
    using type = vrn::XsdtKey;
    using ConvertTo = QString;
    enum { ExactSize = true };
    static qsizetype size(const vrn::XsdtKey &key) { return key.size(); }
    static inline void appendTo(const vrn::XsdtKey &key, QChar *&out)
    {
        const QStringView v = key.view();
        if (!v.isEmpty())
            memcpy(static_cast<void *>(out), v.data(), sizeof(QChar) * size_t(v.size()));
        out += v.size();
    }
};
