#pragma once

#include "document/xsdtnode.h" // complete, so that the signals' node type is known to Qt
#include "knowledge/schema.h"

#include <QHash>
#include <QModelIndex>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QToolButton;

namespace vrn {

class ColorButton;
class SettingsModel;

// One setting as a labelled row with the editor its schema asks for and a revert button. The
// row only collects input: every change goes through the model, and afterwards the row shows
// what the node really holds.
class SettingRow : public QWidget
{
    Q_OBJECT

public:
    SettingRow(XsdtNode *node, const VariableInfo &info, SettingsModel *model,
               QWidget *parent = nullptr);

    XsdtNode *node() const { return m_node; }
    const VariableInfo &info() const { return m_info; }
    void refresh();
    void setViewOnly(bool viewOnly);
    bool isViewOnly() const { return m_viewOnly; }
    void setShowPath(bool show);
    bool matches(const QString &text) const;
    // The same test for a node that has no row yet, so pages can filter rows they have not
    // built.
    static bool matches(const XsdtNode *node, const VariableInfo &info, const QString &text);

    // The editor in use (one of the editor types below) and the parts around it.
    QWidget *editor() const { return m_editor; }
    QWidget *editorBox() const { return m_editorBox; }
    QToolButton *revertButton() const { return m_revertButton; }
    QToolButton *browseButton() const { return m_browseButton; }
    QLabel *titleLabel() const { return m_titleLabel; }
    QLabel *pathLabel() const { return m_pathLabel; }
    QLabel *descriptionLabel() const { return m_descriptionLabel; }
    QLabel *problemLabel() const { return m_problemLabel; }

signals:
    void rejected(const QString &reason);
    void menuRequested(vrn::XsdtNode *node, const QPoint &globalPos);

protected:
    void paintEvent(QPaintEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void buildEditor();
    void commitText(const QString &text);
    // Tells why a typed text is refused (the model's reason unless one is given) and keeps it
    // in its field.
    void refuseTyped(const QString &text, const QString &reason = QString());
    void browse();
    void applyStyle();
    void applyTitleFont();
    void refreshEditor();

    XsdtNode *m_node;
    VariableInfo m_info;
    SettingsModel *m_model;
    bool m_viewOnly = false;
    bool m_isProtected;
    bool m_changedLook = false;
    QString m_refusedText;

    QLabel *m_titleLabel = nullptr;
    QLabel *m_pathLabel = nullptr;
    QLabel *m_descriptionLabel = nullptr;
    QLabel *m_problemLabel = nullptr;
    QWidget *m_editorBox = nullptr;
    QWidget *m_editor = nullptr;
    QCheckBox *m_checkBox = nullptr;
    QComboBox *m_comboBox = nullptr;
    QSpinBox *m_spinBox = nullptr;
    QDoubleSpinBox *m_doubleSpinBox = nullptr;
    QLineEdit *m_lineEdit = nullptr;
    QToolButton *m_browseButton = nullptr;
    ColorButton *m_colorButton = nullptr;
    QToolButton *m_revertButton = nullptr;
};

// Refreshes the rows whose nodes lie in a range the model reported as changed. A large range
// (a queued group of thousands of entries) is matched against the few rows instead.
void refreshRowsInRange(const QHash<const XsdtNode *, SettingRow *> &rows,
                        const SettingsModel *model, const QModelIndex &topLeft,
                        const QModelIndex &bottomRight);

} // namespace vrn
