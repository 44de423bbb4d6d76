#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vrn {

// The About box: what Varnel is, how it protects the settings file, and the technical details
// a problem report needs, ready to copy.
class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    AboutDialog(const QString &openFile, const QString &recordedVersion, QWidget *parent = nullptr);

    // One fact a line: program and source revision, Qt, system, open file, the PixInsight
    // version recorded in it and the folders searched for settings files.
    static QString technicalDetails(const QString &openFile, const QString &recordedVersion);

    QPlainTextEdit *detailsBox() const { return m_details; }
    QPushButton *copyButton() const { return m_copyButton; }
    QPushButton *okButton() const { return m_okButton; }

private:
    QPlainTextEdit *m_details = nullptr;
    QPushButton *m_copyButton = nullptr;
    QPushButton *m_okButton = nullptr;
};

} // namespace vrn
