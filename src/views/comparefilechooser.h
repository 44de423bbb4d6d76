#pragma once

#include <QComboBox>

namespace vrn {

// The Compare page's choice of the other file: the settings files found on this computer, the
// edited file's backups, the file compared with and "Browse...". Every entry carries its path.
class CompareFileChooser : public QComboBox
{
    Q_OBJECT

public:
    explicit CompareFileChooser(QWidget *parent = nullptr);

    // Lists the files again: the edited file is left out and its backups offered, and the
    // file compared with (or being read) is the current entry.
    void fill(const QString &edited, bool haveDocument, const QString &compared);

signals:
    // A file picked from the list or with Browse.
    void fileChosen(const QString &path);
    // The first entry: no other file.
    void noneChosen();

private:
    void onActivated(int index);

    QString m_edited;
    bool m_haveDocument = false;
    QString m_compared;
};

} // namespace vrn
