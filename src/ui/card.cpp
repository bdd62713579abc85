#include "ui/card.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

QFrame *buildCard(const QString &title, QWidget *parent, QVBoxLayout **body)
{
    auto *card = new QFrame(parent);
    card->setObjectName(QStringLiteral("card"));
    auto *cardBox = new QVBoxLayout(card);
    cardBox->setContentsMargins(0, 0, 0, 0);
    cardBox->setSpacing(0);

    auto *header = new QWidget(card);
    header->setFixedHeight(30);
    auto *headerBox = new QHBoxLayout(header);
    headerBox->setContentsMargins(11, 0, 12, 0);
    auto *titleLabel = new QLabel(title, header);
    titleLabel->setObjectName(QStringLiteral("cardTitle"));
    headerBox->addWidget(titleLabel);
    headerBox->addStretch(1);
    cardBox->addWidget(header);

    auto *bodyWidget = new QWidget(card);
    bodyWidget->setObjectName(QStringLiteral("cardBody"));
    auto *bodyBox = new QVBoxLayout(bodyWidget);
    bodyBox->setContentsMargins(10, 0, 10, 10);
    bodyBox->setSpacing(6);
    cardBox->addWidget(bodyWidget, 1);

    *body = bodyBox;
    return card;
}
