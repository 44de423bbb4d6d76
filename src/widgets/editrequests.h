#pragma once

#include <QObject>

class QWidget;

namespace vrn {

class SettingsModel;
struct XsdtNode;

// The questions asked before an entry is queued for deletion or every change is dropped, the
// same from whichever page the request comes. A "don't ask again" answer holds for as long as
// this object lives, which is the program's session.
class EditRequests : public QObject
{
    Q_OBJECT

public:
    // Questions are asked over `window`, which also owns this object.
    EditRequests(SettingsModel *model, QWidget *window);

    // Refuses what the deletion rules never allow, asks where they warn, then queues.
    void requestDeletion(XsdtNode *node);
    // Asks before the `count` pending changes are dropped from the model; true when they were.
    bool revertAll(int count);

signals:
    void message(const QString &text, int timeoutMs);

private:
    SettingsModel *m_model;
    QWidget *m_window;
    bool m_dontAskDelete = false;
};

} // namespace vrn
