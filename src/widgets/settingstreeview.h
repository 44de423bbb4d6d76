#pragma once

#include <QTreeView>

#include <functional>
#include <memory>

namespace vrn {

class SettingsModel;
struct XsdtNode;

// The advanced tree. F2 and Enter edit the row's value whichever column is current, so a value
// can be changed with the keyboard alone; a value that cannot be edited says why instead.
class SettingsTreeView : public QTreeView
{
    Q_OBJECT

public:
    explicit SettingsTreeView(SettingsModel *model, QWidget *parent = nullptr);
    ~SettingsTreeView() override;

    void setModel(QAbstractItemModel *model) override;

    // Rows and columns as the window shows them; call after setting the model.
    void setColumnLayout();
    // Opens every group, a slice at a time between events, under a busy cursor; stops when
    // the rows change meanwhile. The groups inside a part of the tree small enough to lay out
    // at once are recorded as open while that part is still closed; then the parts open one
    // after another in document order, so no step lays out more than that many rows.
    void expandEverything();
    bool isExpanding() const { return m_expansion != nullptr; }
    void stopExpanding();
    // Closes the groups open on screen, a slice at a time between events; true when that took
    // one slice. Otherwise `then` runs on a later turn once they are closed, or once the rows
    // changed meanwhile or another call or an expansion came first. Letting go of a tree opened
    // all the way in one go would hold the window for a tenth of a second and more.
    bool closeEverything(std::function<void()> then);
    void stopClosing();
    // How long each slice of opening or closing may run (0: one group each, for tests);
    // returns the length before.
    static qint64 setSliceMs(qint64 ms);
    // Rows laid out at once at most, apart from the direct rows of a group larger than this.
    static constexpr qint64 RowsAtOnce = 5000;
    // Opens the editor of the value in the index's row, or reports why there is none.
    bool editValue(const QModelIndex &index);
    // Between the settings model and what the tree shows, which may be a filter over it.
    QModelIndex fromSource(const QModelIndex &sourceIndex) const;
    QModelIndex toSource(const QModelIndex &index) const;

signals:
    void editRefused(const QString &reason);

protected:
    bool edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void updateGeometries() override;

private:
    struct Expansion;
    struct Closing;
    QString refusal(const QModelIndex &valueIndex) const;
    qint64 planExpansion(const XsdtNode *node, const QModelIndex &index, Expansion &plan) const;
    void expandSome();
    bool closeSome();

    SettingsModel *m_model;
    std::shared_ptr<Expansion> m_expansion;
    std::shared_ptr<Closing> m_closing;
    bool m_geometriesDeferred = false;
};

} // namespace vrn
