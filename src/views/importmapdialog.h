#pragma once

#include <QDialog>
#include <QStringList>

class QCheckBox;
class QLabel;
class QTableWidget;

namespace vrn {

struct SetupFolder;

// Asks File > Import... which folders the imported paths move to: rows of an old folder and
// the new one, optional, the first prefilled with a suggestion when there is one.
class ImportMapDialog : public QDialog
{
    Q_OBJECT

public:
    ImportMapDialog(const QString &file, int values, const QString &suggestedFrom,
                    const QString &suggestedTo, QWidget *parent = nullptr);

    // Lists the folders the setup's paths begin with, most used first, whether or not they
    // exist here, so that the user sees what there is to map.
    void showFolders(const QList<SetupFolder> &folders);
    QLabel *foldersLabel() const { return m_folders; }

    // "OLD=NEW" for every row with anything in it, in row order.
    QStringList mappings() const;
    // Sets a row's folders, adding rows as needed.
    void setMapping(int row, const QString &from, const QString &to);

    // Whether settings the open file lacks are created rather than refusing the import.
    bool addMissing() const;
    QCheckBox *addMissingBox() const { return m_addMissing; }
    QTableWidget *table() const { return m_table; }
    QLabel *problemLabel() const { return m_problem; }

    // Refuses rows that are no mapping, saying why, instead of closing.
    void accept() override;

private:
    QTableWidget *m_table = nullptr;
    QLabel *m_problem = nullptr;
    QLabel *m_folders = nullptr;
    QCheckBox *m_addMissing = nullptr;
};

} // namespace vrn
