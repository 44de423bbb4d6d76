#pragma once

#include <QObject>

namespace vrn {

// Whether the desktop prefers dark colours, and word when that changes. The one place that
// knows how to ask the platform; tests put a subclass in its place to play the desktop.
class SystemColorScheme : public QObject
{
    Q_OBJECT

public:
    explicit SystemColorScheme(QObject *parent = nullptr);

    virtual bool isDark() const;
    // The scheme the program asks the platform for (title bars, native dialogs): 0 whatever
    // the system uses, 1 light, 2 dark. Platforms without a way to ask ignore it.
    virtual void request(int theme);

signals:
    void changed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void resample();

    bool m_dark = false;
    bool m_resamplePending = false;
};

// Whether the platform's own palette (not the one this program applied) is a dark one.
bool platformPaletteIsDark();

} // namespace vrn
