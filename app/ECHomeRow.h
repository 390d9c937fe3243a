#pragma once

#include <QRect>
#include <QWidget>

#include <array>

class HoverButton;
class QLabel;

/// The row of five module buttons with their captions. Buttons and captions are placed by hand,
/// as the home screen always has been: the frames of the apps, photos and messages buttons are
/// recorded once as first laid out, and every later layout starts from them, so laying the row
/// out again never drifts.
class ECHomeRow : public QWidget
{
    Q_OBJECT
public:
    enum Slot {
        Apps,
        Caches,
        Photos,
        Music,
        Messages,
        SLOT_COUNT,
    };

    static constexpr int WIDTH = 750;
    static constexpr int HEIGHT = 150;
    static constexpr int BUTTON_SIZE = 112;

    explicit ECHomeRow(QWidget* parent = nullptr);

    HoverButton* button(Slot slot) const { return m_buttons[std::size_t(slot)]; }
    QLabel* label(Slot slot) const { return m_labels[std::size_t(slot)]; }

    /// Records the frames of the apps, photos and messages buttons, once, and centres the
    /// captions of apps, photos, messages and music under their buttons.
    void setupButtonFrames();
    /// Lays the row out with the caches button shown, from the recorded frames.
    void showClearCaches();
    /// Centres `view` horizontally on `reference`; a missing reference counts as an empty frame.
    static void alignViewCenterX(QWidget* view, const QWidget* reference);

private:
    std::array<HoverButton*, SLOT_COUNT> m_buttons {};
    std::array<QLabel*, SLOT_COUNT> m_labels {};
    QRect m_appsButtonFrame;
    QRect m_photosButtonFrame;
    QRect m_messagesButtonFrame;
    bool m_buttonFramesSetup { false };
};
