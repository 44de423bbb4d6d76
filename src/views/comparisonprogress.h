#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace vrn {

class Comparison;

// The row that shows a comparison under way: the file it compares with, how far it got, and
// Cancel. The bar keeps moving without a figure while the other file is still being read.
class ComparisonProgress : public QWidget
{
    Q_OBJECT

public:
    ComparisonProgress(const Comparison *comparison, QWidget *parent = nullptr);

    void start(const QString &path);
    void stop();
    QPushButton *cancelButton() const { return m_cancel; }

private:
    void showProgress();

    const Comparison *m_comparison;
    QTimer m_timer;
    QLabel *m_label = nullptr;
    QProgressBar *m_bar = nullptr;
    QPushButton *m_cancel = nullptr;
};

} // namespace vrn
