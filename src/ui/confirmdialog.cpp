#include "ui/theme.h"
#include "ui/widgets.h"

#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kMinDialogWidth = 300;
constexpr int kMaxDialogWidth = 400;
// The dialog leaves this much of the parent visible in total, left and right together.
constexpr int kParentSideGap = 24;
constexpr int kCornerRadius = 8;

QLabel *bodyLabel(const QString &text, const char *objectName, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(objectName));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

ConfirmDialog::~ConfirmDialog() = default;

void ConfirmDialog::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(QLatin1String{Theme::kDialogBorder}), 1.0, Qt::SolidLine,
                        Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(QColor(QLatin1String{Theme::kCardBg}));
    painter.drawRoundedRect(QRectF(0.5, 0.5, width() - 1, height() - 1), kCornerRadius,
                            kCornerRadius);
}

QFrame *makeSeparator(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("background-color: %1; border: none;")
                            .arg(QLatin1String{Theme::kSeparator}));
    return line;
}

int confirmDialogWidth(int parentWidth)
{
    if (parentWidth < 0)
        return kMaxDialogWidth;
    return std::clamp(parentWidth - kParentSideGap, kMinDialogWidth, kMaxDialogWidth);
}

QRegion roundedRegion(QSize size, int radius)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, size.width(), size.height()), radius, radius);
    return QRegion(path.toFillPolygon().toPolygon());
}

QPoint clampIntoArea(QPoint topLeft, QSize size, const QRect &available)
{
    const int x =
        std::max(available.left(), std::min(topLeft.x(), available.right() - size.width() + 1));
    const int y =
        std::max(available.top(), std::min(topLeft.y(), available.bottom() - size.height() + 1));
    return {x, y};
}

bool runConfirmDialog(QWidget *parent, const QString &title, const QStringList &lines,
                      const QString &danger, const QString &cancelText, const QString &okText,
                      const QString &notice)
{
    QPointer<ModalOverlay> overlay;
    if (parent) {
        overlay = new ModalOverlay(parent);
        overlay->setAttribute(Qt::WA_NoSystemBackground);
        overlay->setAutoFillBackground(false);
        overlay->setGeometry(0, 0, parent->width(), parent->height());
        overlay->show();
        overlay->raise();
    }

    ConfirmDialog dialog(parent, Qt::Dialog | Qt::FramelessWindowHint);
    dialog.setObjectName(QStringLiteral("confirmDialog"));
    dialog.setAttribute(Qt::WA_TranslucentBackground);
    dialog.setWindowTitle(title);
    dialog.setModal(true);
    const int dialogWidth = confirmDialogWidth(parent ? parent->width() : -1);
    dialog.setFixedWidth(dialogWidth);

    auto *box = new QVBoxLayout(&dialog);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(0);

    auto *header = new QWidget(&dialog);
    header->setFixedHeight(32);
    auto *headerBox = new QHBoxLayout(header);
    headerBox->setContentsMargins(12, 0, 12, 0);
    auto *titleLabel = new QLabel(title, header);
    titleLabel->setObjectName(QStringLiteral("confirmTitle"));
    headerBox->addWidget(titleLabel, 1);
    box->addWidget(header);
    box->addWidget(makeSeparator(&dialog));

    auto *body = new QWidget(&dialog);
    auto *bodyBox = new QVBoxLayout(body);
    bodyBox->setContentsMargins(12, 10, 12, 10);
    bodyBox->setSpacing(4);
    for (const QString &line : lines)
        bodyBox->addWidget(bodyLabel(line, "confirmText", body));
    bodyBox->addSpacing(4);
    if (!notice.isEmpty())
        bodyBox->addWidget(bodyLabel(notice, "confirmNotice", body));
    bodyBox->addWidget(bodyLabel(danger, "confirmDanger", body));
    box->addWidget(body);
    box->addWidget(makeSeparator(&dialog));

    auto *footer = new QWidget(&dialog);
    footer->setFixedHeight(40);
    auto *footerBox = new QHBoxLayout(footer);
    footerBox->setContentsMargins(12, 8, 12, 8);
    footerBox->setSpacing(6);
    footerBox->addStretch(1);
    auto *cancelButton = new QPushButton(cancelText, footer);
    cancelButton->setObjectName(QStringLiteral("confirmCancel"));
    cancelButton->setFixedSize(60, 24);
    cancelButton->setAutoDefault(false);
    auto *okButton = new QPushButton(okText, footer);
    okButton->setObjectName(QStringLiteral("confirmOk"));
    okButton->setFixedHeight(24);
    okButton->setMinimumWidth(68);
    okButton->setAutoDefault(false);
    footerBox->addWidget(cancelButton);
    footerBox->addWidget(okButton);
    box->addWidget(footer);

    QObject::connect(cancelButton, &QPushButton::clicked, &dialog, &QDialog::reject);
    QObject::connect(okButton, &QPushButton::clicked, &dialog, &QDialog::accept);

    // Return and Enter cancel; confirming takes a deliberate click.
    cancelButton->setDefault(true);
    cancelButton->setFocus(Qt::OtherFocusReason);

    dialog.setStyleSheet(Theme::confirmStyleSheet());
    // The sheet's font sizes must be in effect before the height is measured.
    dialog.ensurePolished();

    int dialogHeight = box->totalHeightForWidth(dialogWidth);
    if (dialogHeight <= 0)
        dialogHeight = box->totalSizeHint().height();
    dialog.setFixedHeight(dialogHeight);
    // An X11 desktop without a compositor shows a translucent window's transparent corners in
    // black; a mask cuts them off there (a compositor loses nothing by it but the antialiasing).
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        dialog.setMask(roundedRegion(QSize(dialogWidth, dialogHeight), kCornerRadius));

    QPoint topLeft(0, 0);
    if (parent) {
        topLeft = parent->mapToGlobal(
            QPoint((parent->width() - dialogWidth) / 2, (parent->height() - dialogHeight) / 2));
    }
    const QPoint centre = topLeft + QPoint(dialogWidth / 2, dialogHeight / 2);
    QScreen *screen = QGuiApplication::screenAt(centre);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        topLeft =
            clampIntoArea(topLeft, QSize(dialogWidth, dialogHeight), screen->availableGeometry());
    }
    dialog.move(topLeft);

    const int result = dialog.exec();

    if (overlay) {
        overlay->hide();
        overlay->deleteLater();
    }
    return result == QDialog::Accepted;
}
