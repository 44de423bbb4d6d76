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
    using QTranslator::QTranslator;

    QString translate(const char *context, const char *sourceText,
                      const char *disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return false; }

    // The singular of a counted text, or a null string when it has none here (then Qt shows
    // the text as written).
    static QString singular(const char *sourceText);
};

// Installs the translator on the running application, once; later calls do nothing.
void installEnglishPlurals();

} // namespace vrn
