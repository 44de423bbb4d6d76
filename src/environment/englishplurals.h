#pragma once

#include <QTranslator>

namespace vrn {

// The program's texts are written in English with the plural form ("%n files"), and Qt leaves
// choosing the form to a translation: without one, a count of one would read "1 files". This
// translator is that translation for English and supplies the singular of every counted text.
class EnglishPlurals : public QTranslator
{
    Q_OBJECT

public:
    // With groupDigits, counts are written the way the user's locale writes numbers ("2,749"),
    // as a window shows them; without, as digits alone, which scripts reading output expect.
    explicit EnglishPlurals(QObject *parent = nullptr, bool groupDigits = false);

    QString translate(const char *context, const char *sourceText,
                      const char *disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return false; }

    // The singular of a counted text, or a null string when it has none here (then Qt shows
    // the text as written).
    static QString singular(const char *sourceText);

private:
    bool m_groupDigits = false;
};

// Installs the translator on the running application, once; later calls do nothing.
void installEnglishPlurals(bool groupDigits = false);

} // namespace vrn
