#include "readerproperties.h"

#include "document/xsdtdocument.h"
#include "document/xsdtreader_p.h"
#include "generator/generator.h"
#include "support/treecompare.h"

namespace vrn::fuzz {

namespace {

// Every value below `group` in document order, as its path, type and texts.
QStringList valueTexts(const XsdtNode &group)
{
    QStringList texts;
    for (const auto &child : group.children) {
        if (child->isGroup())
            texts += valueTexts(*child);
        else
            texts << child->path() + QChar(0) + child->type + child->value.toString() + QChar(0) +
                         child->compressedText();
    }
    return texts;
}

} // namespace

QString readerPropertyViolation(const QByteArray &input)
{
    if (isWellFormedUtf8(input.constData(), input.size()) != input.isValidUtf8())
        return QStringLiteral("the reader's UTF-8 check disagrees with Qt's");
    // A well-formed file is read as it stands; through a decoded copy it must read the same.
    if (input.isValidUtf8()) {
        XsdtDocument direct;
        XsdtDocument decoded;
        QString directError;
        QString decodedError;
        const bool ok = direct.parse(input, &directError);
        if (ok != parseDecoded(decoded, input, &decodedError) || directError != decodedError)
            return QStringLiteral("read as bytes and decoded, the input gives \"%1\" and \"%2\"")
                .arg(directError, decodedError);
        const QString difference = testdata::treeDifference(direct.root, decoded.root, false, true);
        if (!difference.isEmpty() || direct.head != decoded.head || direct.tail != decoded.tail ||
            direct.compactLayout != decoded.compactLayout)
            return QStringLiteral("read as bytes and decoded, the input gives other documents: %1")
                .arg(difference);
    }
    XsdtDocument first;
    QString firstError;
    const bool accepted = first.parse(input, &firstError);
    // A look-up reads all of it with the same checks and keeps what leads to its paths: the
    // last element at every level, and a part of the preferences.
    QStringList paths{QStringLiteral("Global/Preferences/Application")};
    const XsdtNode *last = &first.root;
    while (!last->children.empty())
        last = last->children.back().get();
    if (last != &first.root)
        paths.append(last->path());
    XsdtDocument lookedUp;
    QString lookUpError;
    if (lookedUp.parsePaths(input, paths, &lookUpError) != accepted || lookUpError != firstError)
        return QStringLiteral("read whole and for a look-up, the input gives \"%1\" and \"%2\"")
            .arg(firstError, lookUpError);
    QString vetError;
    if (XsdtDocument::reads(input, &vetError) != accepted || vetError != firstError)
        return QStringLiteral("read whole and only checked, the input gives \"%1\" and \"%2\"")
            .arg(firstError, vetError);
    // Read through a sieve that keeps every other value, the message is the same, and what
    // stays is those values of the whole read, in order.
    XsdtDocument sifted;
    QString siftError;
    qint64 valuesMet = 0;
    const auto everyOther = [&valuesMet](const XsdtNode &element) {
        return !element.isGroup() && valuesMet++ % 2 ? XsdtDocument::Sift::Keep
                                                     : XsdtDocument::Sift::Drop;
    };
    if (sifted.parseSifted(input, everyOther, &siftError) != accepted || siftError != firstError)
        return QStringLiteral("read whole and through a sieve, the input gives \"%1\" and \"%2\"")
            .arg(firstError, siftError);
    if (accepted) {
        QStringList wholeValues = valueTexts(first.root);
        for (qsizetype i = 0; i < wholeValues.size(); ++i)
            wholeValues.remove(i); // the first of each two was dropped
        if (valueTexts(sifted.root) != wholeValues)
            return QStringLiteral("a sieve keeps other values than it was asked to");
    }
    // A file read ahead in part reads as zeros past what was read: text that ends in zeros never
    // reads, however much of a file came before them.
    const QByteArray cut = input.first(input.size() / 2) + QByteArray(input.size() / 2 + 1, '\0');
    if (XsdtDocument().parseSifted(
            cut, [](const XsdtNode &) { return XsdtDocument::Sift::Drop; }, nullptr))
        return QStringLiteral("text that ends in zeros reads");
    for (const QString &path : paths) {
        const XsdtNode *whole = first.findPath(path);
        const XsdtNode *part = lookedUp.findPath(path);
        if (!whole != !part ||
            (whole &&
             (whole->kind != part->kind || whole->key != part->key || whole->type != part->type ||
              whole->value != part->value || whole->compressedText() != part->compressedText() ||
              !testdata::treeDifference(*whole, *part, false, true).isEmpty())))
            return QStringLiteral("a look-up of %1 finds another setting").arg(path);
    }
    if (!accepted)
        return first.root.children.empty() && first.head.isEmpty()
                   ? QString()
                   : QStringLiteral("refused input left nodes behind");
    const QByteArray written = first.serialize();
    if (first.compactLayout != (written == input))
        return QStringLiteral("layout flag is %1 but the bytes %2")
            .arg(first.compactLayout)
            .arg(written == input ? "match" : "differ");
    // A save checks its bytes with the reader's byte-wise form: it must read what a load reads.
    QString error;
    QString where;
    if (!first.readsBackAs(written, &error, &where))
        return QStringLiteral("the save's check refuses the written text: %1%2").arg(error, where);
    // Where the input is not UTF-8 the two forms may place U+FFFD differently; the written text
    // always is.
    if (QString::fromUtf8(input).toUtf8() == input && !first.readsBackAs(input, &error, &where))
        return QStringLiteral("read byte-wise, the input gives another tree: %1%2")
            .arg(error, where);
    XsdtDocument second;
    if (!second.parse(written, &error))
        return QStringLiteral("written text does not read back: %1").arg(error);
    const QString difference = testdata::treeDifference(first.root, second.root, false, true);
    if (!difference.isEmpty())
        return QStringLiteral("tree changed on the way: %1").arg(difference);
    if (first.head != second.head || first.tail != second.tail)
        return QStringLiteral("text around the root changed");
    if (!second.compactLayout)
        return QStringLiteral("written text is not in the compact layout");
    if (second.serialize() != written)
        return QStringLiteral("writing again gives other bytes");
    return QString();
}

QList<QPair<QString, QByteArray>> generatedSeeds()
{
    QList<QPair<QString, QByteArray>> seeds;
    for (quint64 seed = 1; seed <= 12; ++seed) {
        testdata::GeneratorOptions o;
        o.seed = seed;
        o.targetBytes = 2048 + qint64(seed % 4) * 2048;
        o.indented = seed % 3 == 1;
        o.alternateSyntax = seed % 3 == 2;
        o.plantProblems = seed % 2 == 0;
        seeds.append(
            {QStringLiteral("generated-%1.settings").arg(seed), testdata::generateSettings(o)});
    }
    return seeds;
}

} // namespace vrn::fuzz
