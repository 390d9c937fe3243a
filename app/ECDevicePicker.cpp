#include "app/ECDevicePicker.h"

#include "app/ECArtwork.h"
#include "app/ECTheme.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

namespace {

/// One clickable device row; the name and space text are child labels named as the picker's
/// cells always were, so tests and assistive tools find them.
class PickerRow : public QAbstractButton
{
public:
    PickerRow(const ECDevicePickerRow& row, QWidget* parent)
        : QAbstractButton(parent)
    {
        setObjectName(QStringLiteral("devicePickerRow"));
        setFixedHeight(ECDevicePicker::ROW_HEIGHT);
        setCursor(Qt::PointingHandCursor);
        setAttribute(Qt::WA_Hover);
        setAccessibleName(row.name);
        setAccessibleDescription(row.spaceText);

        auto* thumb = new QLabel(this);
        thumb->setObjectName(QStringLiteral("deviceThumb"));
        thumb->setPixmap(ECArtwork::deviceThumb(38, devicePixelRatioF()));
        auto* name = new QLabel(row.name, this);
        name->setObjectName(QStringLiteral("deviceNameField"));
        name->setFont(ECTheme::font(12.5, QFont::DemiBold));
        auto* space = new QLabel(row.spaceText, this);
        space->setObjectName(QStringLiteral("spaceUsageField"));
        space->setFont(ECTheme::font(11));
        QPalette grey = space->palette();
        grey.setColor(QPalette::WindowText, ECTheme::secondaryText());
        space->setPalette(grey);
        for (QLabel* label : { name, space }) {
            label->setAttribute(Qt::WA_TransparentForMouseEvents);
            label->setTextFormat(Qt::PlainText);
        }
        thumb->setAttribute(Qt::WA_TransparentForMouseEvents);

        auto* texts = new QVBoxLayout;
        texts->setSpacing(1);
        texts->addStretch();
        texts->addWidget(name);
        texts->addWidget(space);
        texts->addStretch();
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(10, 0, 10, 0);
        layout->setSpacing(10);
        layout->addWidget(thumb);
        layout->addLayout(texts, 1);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (!underMouse() && !hasFocus()) {
            return;
        }
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(isDown() ? ECTheme::pressedFill() : ECTheme::hoverFill());
        p.drawRoundedRect(QRectF(rect()).adjusted(2, 1, -2, -1), 8, 8);
    }
};

} // namespace

ECDevicePicker::ECDevicePicker(QWidget* parent)
    : QFrame(parent, Qt::Popup)
    , m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("selectDevicePopover"));
    setAttribute(Qt::WA_TranslucentBackground);
    m_layout->setContentsMargins(0, PADDING / 2, 0, PADDING / 2);
    m_layout->setSpacing(0);
    setFixedSize(contentSize());
}

void ECDevicePicker::setRows(const std::vector<ECDevicePickerRow>& rows)
{
    m_rows = rows;
    while (QLayoutItem* item = m_layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (int index = 0; index < int(rows.size()); ++index) {
        auto* row = new PickerRow(rows[std::size_t(index)], this);
        connect(row, &QAbstractButton::clicked, this, [this, index] { emit rowChosen(index); });
        m_layout->addWidget(row);
    }
    setFixedSize(contentSize());
}

QSize ECDevicePicker::contentSize() const
{
    // Through single precision, as the picker's height always has been; exact for any real count.
    const float height = float(rowCount() * ROW_HEIGHT + PADDING);
    return QSize(WIDTH, int(height));
}

void ECDevicePicker::showBelow(QWidget* anchor)
{
    QPoint topRight = anchor->mapToGlobal(QPoint(anchor->width(), anchor->height()));
    QPoint topLeft(topRight.x() - width(), topRight.y() + 4);
    if (QScreen* screen = anchor->screen()) {
        const QRect available = screen->availableGeometry();
        topLeft.setX(
            std::clamp(topLeft.x(), available.left(), std::max(available.left(), available.right() - width())));
    }
    move(topLeft);
    show();
}

void ECDevicePicker::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(ECTheme::hairline(), 1));
    p.setBrush(ECTheme::window());
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}
