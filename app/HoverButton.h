#pragma once

#include <QAbstractButton>
#include <QPixmap>

class HoverButton;

/// Told when the pointer enters or leaves a module button, so the home screen can describe the
/// module under the pointer.
class HoverButtonDelegate
{
public:
    virtual ~HoverButtonDelegate() = default;
    virtual void mouseEnteredButton(HoverButton* button) = 0;
    virtual void mouseExitedButton(HoverButton* button) = 0;
};

/// A module button of the home screen: a large drawn icon on a tile that lights up under the
/// pointer. Entering and leaving are reported to the delegate only while the button's window is
/// the active window, as a tool tip would be.
class HoverButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit HoverButton(QWidget* parent = nullptr);

    void setDelegate(HoverButtonDelegate* delegate) { m_delegate = delegate; }
    HoverButtonDelegate* delegate() const { return m_delegate; }

    /// The artwork; drawn centred and faded when the button is disabled.
    void setImage(const QPixmap& image);
    QPixmap image() const { return m_image; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    HoverButtonDelegate* m_delegate { nullptr };
    QPixmap m_image;
    bool m_reportedEnter { false };
};
