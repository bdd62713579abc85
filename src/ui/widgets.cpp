#include "ui/widgets.h"

#include "ui/theme.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

#include <algorithm>
#include <cmath>

namespace {

// Tint of the overlays over the window.
constexpr int kOverlayTintAlpha = 20;
// The white drop card is very slightly see-through.
constexpr int kDropCardAlpha = 245;
constexpr int kDropCardMaxWidth = 360;
constexpr int kDropCardHeight = 82;
constexpr int kDropCardSideGap = 80;

QColor tint(const char *colour, int alpha)
{
    QColor c(QLatin1String{colour});
    c.setAlpha(alpha);
    return c;
}

// Width of the white outline around a percentage that the chunk's edge runs through.
constexpr qreal kHaloWidth = 3.0;

QPen hairlinePen(const char *colour)
{
    return QPen(QColor(QLatin1String{colour}), 1.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

} // namespace

double progressFraction(int minimum, int maximum, int value)
{
    const double span = double(maximum) - double(minimum);
    if (span <= 0)
        return 0.0;
    return std::clamp((double(value) - double(minimum)) / span, 0.0, 1.0);
}

QString progressPercentText(double fraction)
{
    return QString::number(static_cast<int>(100.0 * fraction + 0.5)) + QLatin1Char('%');
}

int progressFilledWidth(int barWidth, double fraction)
{
    return static_cast<int>(std::lround((barWidth - 2) * fraction));
}

ProgressTextLook progressTextLook(int chunkRight, int textLeft, int textRight)
{
    if (chunkRight <= textLeft - kProgressEdgeSlack)
        return ProgressTextLook::Dark;
    if (chunkRight >= textRight + kProgressEdgeSlack)
        return ProgressTextLook::White;
    return ProgressTextLook::Haloed;
}

DropOverlay::~DropOverlay() = default;

void DropOverlay::paintEvent(QPaintEvent *)
{
    const int w = width();
    const int h = height();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), tint(Theme::kAccent, kOverlayTintAlpha));

    painter.setPen(QPen(QColor(QLatin1String{Theme::kAccent}), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRect(1, 1, w - 3, h - 3));

    const double cardWidth = std::min(w - kDropCardSideGap, kDropCardMaxWidth);
    const QRectF card((w - cardWidth) / 2.0, (h - kDropCardHeight) / 2.0, cardWidth,
                      kDropCardHeight);
    painter.setPen(hairlinePen(Theme::kDialogBorder));
    painter.setBrush(tint(Theme::kCardBg, kDropCardAlpha));
    painter.drawRoundedRect(card, 10, 10);

    QFont title = font();
    title.setPixelSize(16);
    title.setWeight(QFont::Bold);
    painter.setFont(title);
    painter.setPen(QColor(QLatin1String{Theme::kAccent}));
    painter.drawText(QRectF(card.x() + 16, card.y() + 12, cardWidth - 32, 30), Qt::AlignCenter,
                     QCoreApplication::translate("DropOverlay", "松开鼠标载入固件"));

    QFont hint = font();
    hint.setPixelSize(12);
    painter.setFont(hint);
    painter.setPen(QColor(QLatin1String{Theme::kTextSub}));
    painter.drawText(QRectF(card.x() + 16, card.y() + 44, cardWidth - 32, 24), Qt::AlignCenter,
                     QCoreApplication::translate("DropOverlay", "仅支持 .bin 固件文件"));
}

ModalOverlay::~ModalOverlay() = default;

void ModalOverlay::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), tint(Theme::kAccent, kOverlayTintAlpha));
}

FlatComboBox::~FlatComboBox() = default;

void FlatComboBox::paintEvent(QPaintEvent *event)
{
    QComboBox::paintEvent(event);

    const double w = width();
    const double h = height();
    const char *colour = isEnabled() ? Theme::kTextSub : Theme::kDisabledText;
    QPainter painter(this);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(QLatin1String{colour}), 1.4);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.drawLine(QPointF(w - 16.5, h / 2 - 1.75), QPointF(w - 13, h / 2 + 1.75));
    painter.drawLine(QPointF(w - 13, h / 2 + 1.75), QPointF(w - 9.5, h / 2 - 1.75));
    painter.restore();
}

UpdateProgressBar::~UpdateProgressBar() = default;

void UpdateProgressBar::paintEvent(QPaintEvent *event)
{
    QProgressBar::paintEvent(event);
    if (qint64(maximum()) - minimum() <= 0)
        return;

    const double fraction = progressFraction(minimum(), maximum(), value());
    const QString text = progressPercentText(fraction);
    QFont textFont = font();
    textFont.setPixelSize(12);
    textFont.setWeight(QFont::Bold);

    const QFontMetrics metrics(textFont);
    const int textLeft = (width() - metrics.horizontalAdvance(text)) / 2;
    const int filled = progressFilledWidth(width(), fraction);
    const ProgressTextLook look =
        progressTextLook(1 + filled, textLeft, textLeft + metrics.horizontalAdvance(text));

    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(textFont);
    const QColor dark(QLatin1String{Theme::kTextMain});
    if (look == ProgressTextLook::Haloed) {
        // Dark on a white halo reads on the chunk and on the groove alike.
        QPainterPath outline;
        outline.addText(textLeft, (height() - metrics.height()) / 2.0 + metrics.ascent(),
                        textFont, text);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.strokePath(outline,
                           QPen(Qt::white, kHaloWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.fillPath(outline, dark);
        return;
    }
    painter.setPen(look == ProgressTextLook::White ? QColor(Qt::white) : dark);
    painter.drawText(rect(), Qt::AlignCenter, text);
}
