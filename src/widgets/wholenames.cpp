#include "widgets/wholenames.h"

namespace vrn {

QString namesKeptWhole(const QString &text)
{
    static constexpr QChar kWordJoiner(0x2060);
    QString kept;
    kept.reserve(text.size() + text.size() / 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        kept.append(text.at(i));
        const bool hyphen = text.at(i) == QLatin1Char('-') || text.at(i) == QChar(0x2010);
        if (hyphen && i + 1 < text.size() && text.at(i + 1).isLetterOrNumber())
            kept.append(kWordJoiner);
    }
    return kept;
}

} // namespace vrn
