#include "app/ECHomeRow.h"

#include "app/ECTheme.h"
#include "app/HoverButton.h"

#include <QLabel>

#include <cmath>

namespace {

constexpr int LABEL_WIDTH = 140;
constexpr int LABEL_TOP = ECHomeRow::BUTTON_SIZE + 8;
constexpr int LABEL_HEIGHT = 22;

// The row as first laid out, with the caches button hidden where the photos button stands; the
// horizontal moves of showClearCaches() turn it into five evenly spaced buttons.
constexpr int designCentre(ECHomeRow::Slot slot)
{
    switch (slot) {
    case ECHomeRow::Apps:
        return 135;
    case ECHomeRow::Caches:
    case ECHomeRow::Photos:
        return 300;
    case ECHomeRow::Music:
        return 525;
    case ECHomeRow::Messages:
        return 615;
    case ECHomeRow::SLOT_COUNT:
        break;
    }
    return 0;
}

QRect movedBy(const QRect& frame, int dx)
{
    return frame.translated(dx, 0);
}

} // namespace

ECHomeRow::ECHomeRow(QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(WIDTH, HEIGHT);
    static const char* const buttonNames[SLOT_COUNT]
        = { "appsButton", "cachesButton", "photosButton", "musicButton", "messagesButton" };
    static const char* const labelNames[SLOT_COUNT]
        = { "appsLabel", "cachesLabel", "photosLabel", "musicLabel", "messagesLabel" };
    for (int index = 0; index < SLOT_COUNT; ++index) {
        const auto slot = Slot(index);
        auto* button = new HoverButton(this);
        button->setObjectName(QLatin1String(buttonNames[index]));
        button->setGeometry(designCentre(slot) - BUTTON_SIZE / 2, 0, BUTTON_SIZE, BUTTON_SIZE);
        auto* label = new QLabel(this);
        label->setObjectName(QLatin1String(labelNames[index]));
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setFont(ECTheme::font(12.5, QFont::Medium));
        label->setGeometry(button->x(), LABEL_TOP, LABEL_WIDTH, LABEL_HEIGHT);
        m_buttons[std::size_t(index)] = button;
        m_labels[std::size_t(index)] = label;
    }
    button(Caches)->hide();
    label(Caches)->hide();
}

void ECHomeRow::setupButtonFrames()
{
    if (m_buttonFramesSetup) {
        return;
    }
    m_buttonFramesSetup = true;
    m_appsButtonFrame = button(Apps) ? button(Apps)->geometry() : QRect();
    m_photosButtonFrame = button(Photos) ? button(Photos)->geometry() : QRect();
    m_messagesButtonFrame = button(Messages) ? button(Messages)->geometry() : QRect();
    for (Slot slot : { Apps, Photos, Messages, Music }) {
        alignViewCenterX(label(slot), button(slot));
    }
}

void ECHomeRow::showClearCaches()
{
    setupButtonFrames();
    button(Caches)->show();
    label(Caches)->show();
    button(Apps)->setGeometry(movedBy(m_appsButtonFrame, -60));
    button(Photos)->setGeometry(movedBy(m_photosButtonFrame, -75));
    button(Caches)->setGeometry(movedBy(m_photosButtonFrame, +75));
    button(Messages)->setGeometry(movedBy(m_messagesButtonFrame, +60));
    for (Slot slot : { Apps, Photos, Messages, Caches, Music }) {
        alignViewCenterX(label(slot), button(slot));
    }
}

void ECHomeRow::alignViewCenterX(QWidget* view, const QWidget* reference)
{
    if (!view) {
        return;
    }
    const QRect frame = reference ? reference->geometry() : QRect();
    const float centre = float(double(frame.x()) + double(frame.width()) * 0.5);
    const double left = double(centre) - double(view->width()) * 0.5;
    view->move(int(std::lround(left)), view->y());
}
