#pragma once

#include <QComboBox>
#include <QDialog>
#include <QPoint>
#include <QProgressBar>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QStringList>
#include <QWidget>

class QFrame;

// Card shown while a file is dragged over the window.
class DropOverlay : public QWidget
{
public:
    using QWidget::QWidget;
    ~DropOverlay() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// Light tint over the window while a confirmation is open.
class ModalOverlay : public QWidget
{
public:
    using QWidget::QWidget;
    ~ModalOverlay() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// Frameless white rounded dialog used for confirmations.
class ConfirmDialog : public QDialog
{
public:
    using QDialog::QDialog;
    ~ConfirmDialog() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// Port selector that paints its own chevron.
class FlatComboBox : public QComboBox
{
public:
    using QComboBox::QComboBox;
    ~FlatComboBox() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// Progress bar whose percentage is white over the chunk and dark elsewhere; dark with a white
// halo while the chunk's edge runs through it, so that no digit is half white on light grey.
class UpdateProgressBar : public QProgressBar
{
public:
    using QProgressBar::QProgressBar;
    ~UpdateProgressBar() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The progress bar's percentage rules. No widgets, no I/O.
// Share of the range reached, clamped to 0..1; 0 for an empty or inverted range.
double progressFraction(int minimum, int maximum, int value);
// "42%": the fraction in whole percent, halves rounded up.
QString progressPercentText(double fraction);
// Pixels of the chunk inside the bar's 1-px border, rounded to the nearest pixel.
int progressFilledWidth(int barWidth, double fraction);
// How the percentage is drawn, given the chunk's right edge and the text's extent in pixels: the
// style draws the chunk's rounded, smoothed end up to kProgressEdgeSlack pixels off that edge.
enum class ProgressTextLook { Dark, White, Haloed };
inline constexpr int kProgressEdgeSlack = 2;
ProgressTextLook progressTextLook(int chunkRight, int textLeft, int textRight);

// A 1-px separator line for the confirmation dialog.
QFrame *makeSeparator(QWidget *parent);

// Modal confirmation over parent; true only when the confirm button was pressed. A non-empty
// notice (a finding the user should weigh) stands in red above the warning line.
bool runConfirmDialog(QWidget *parent, const QString &title, const QStringList &lines,
                      const QString &danger, const QString &cancelText, const QString &okText,
                      const QString &notice = QString());

// Geometry rules of the confirmation; no widgets, no I/O.
// parentWidth < 0 means there is no parent.
int confirmDialogWidth(int parentWidth);
QPoint clampIntoArea(QPoint topLeft, QSize size, const QRect &available);
// The rounded card's outline as a window mask, for desktops that cannot show translucency.
QRegion roundedRegion(QSize size, int radius);
