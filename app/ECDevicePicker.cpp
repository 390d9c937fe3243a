#include "app/ECDevicePicker.h"

#include "app/ECArtwork.h"
#include "app/ECTheme.h"

#include <QAbstractButton>
#include <QBitmap>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int ROW_MARGIN = 10;
constexpr int THUMB_POINTS = 38;
constexpr int MARK_POINTS = 16;
constexpr int CORNER_RADIUS = 10;

QFont nameFont()
{
    return ECTheme::font(12.5, QFont::DemiBold);
}

/// The room a row leaves for the name beside the thumbnail and the current-device mark.
int nameRoom(int pickerWidth)
{
    // Margins on both sides and a gap on each side of the texts; a little slack for rounding.
    return pickerWidth - 4 * ROW_MARGIN - THUMB_POINTS - MARK_POINTS - 2;
}

/// One clickable device row; the name and space text are child labels named as the picker's
/// cells always were, so tests and assistive tools find them.
class PickerRow : public QAbstractButton
{
public:
    PickerRow(const ECDevicePickerRow& row, int pickerWidth, QWidget* parent)
        : QAbstractButton(parent)
    {
        setObjectName(QStringLiteral("devicePickerRow"));
        setFixedHeight(ECDevicePicker::ROW_HEIGHT);
        setCursor(Qt::PointingHandCursor);
        setAttribute(Qt::WA_Hover);
        setAccessibleName(row.name);
        setAccessibleDescription(
            row.current ? QStringLiteral("%1, the device shown now").arg(row.spaceText) : row.spaceText);

        auto* thumb = new QLabel(this);
        thumb->setObjectName(QStringLiteral("deviceThumb"));
        thumb->setPixmap(ECArtwork::deviceThumb(THUMB_POINTS, devicePixelRatioF()));
        auto* name = new QLabel(this);
        name->setObjectName(QStringLiteral("deviceNameField"));
        name->setFont(nameFont());
        // The whole name where it fits; shortened only past the widest picker, with the whole
        // name in the tooltip.
        const QString shown = QFontMetrics(nameFont()).elidedText(row.name, Qt::ElideRight, nameRoom(pickerWidth));
        name->setText(shown);
        if (shown != row.name) {
            setToolTip(row.name);
        }
        auto* mark = new QLabel(this);
        mark->setObjectName(QStringLiteral("currentDeviceMark"));
        mark->setFixedWidth(MARK_POINTS);
        mark->setAlignment(Qt::AlignCenter);
        mark->setTextFormat(Qt::PlainText);
        if (row.current) {
            mark->setText(QStringLiteral("\u2713"));
            QPalette accent = mark->palette();
            accent.setColor(QPalette::WindowText, ECTheme::accent());
            mark->setPalette(accent);
            mark->setFont(ECTheme::font(13, QFont::DemiBold));
        }
        mark->setAttribute(Qt::WA_TransparentForMouseEvents);
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
        layout->setContentsMargins(ROW_MARGIN, 0, ROW_MARGIN, 0);
        layout->setSpacing(ROW_MARGIN);
        layout->addWidget(thumb);
        layout->addLayout(texts, 1);
        layout->addWidget(mark);
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
    // Opaque and shaped by a mask rather than translucent: without a compositor a translucent
    // popup shows black where its rounded corners leave it empty.
    setAutoFillBackground(false);
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
    // As wide as the longest name needs, from the design's 200 points up to a bound.
    int width = WIDTH;
    const QFontMetrics metrics(nameFont());
    for (const ECDevicePickerRow& row : rows) {
        width = std::max(width, WIDTH - nameRoom(WIDTH) + metrics.horizontalAdvance(row.name) + 2);
    }
    m_width = std::min(width, MAX_WIDTH);
    for (int index = 0; index < int(rows.size()); ++index) {
        auto* row = new PickerRow(rows[std::size_t(index)], m_width, this);
        connect(row, &QAbstractButton::clicked, this, [this, index] { emit rowChosen(index); });
        m_layout->addWidget(row);
    }
    setFixedSize(contentSize());
}

QSize ECDevicePicker::contentSize() const
{
    // Through single precision, as the picker's height always has been; exact for any real count.
    const float height = float(rowCount() * ROW_HEIGHT + PADDING);
    return QSize(m_width, int(height));
}

void ECDevicePicker::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    // The rounded outline as the window's shape: nothing outside it is drawn at all.
    QBitmap shape(size());
    shape.fill(Qt::color0);
    QPainter p(&shape);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::color1);
    p.drawRoundedRect(QRectF(rect()), CORNER_RADIUS, CORNER_RADIUS);
    p.end();
    setMask(shape);
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
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), CORNER_RADIUS, CORNER_RADIUS);
}
