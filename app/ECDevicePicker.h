#pragma once

#include <QFrame>
#include <QString>

#include <vector>

class QVBoxLayout;

/// One row of the device picker: a usable device's name and its capacity and fill level.
struct ECDevicePickerRow
{
    QString name;
    QString spaceText;
    /// The device the window shows now.
    bool current { false };
};

/// The popup under the heading that lists the usable devices, one 60-point row each, and says
/// which one the user chose. It decides nothing: the controller gives it the rows.
class ECDevicePicker : public QFrame
{
    Q_OBJECT
public:
    static constexpr int WIDTH = 200;
    static constexpr int ROW_HEIGHT = 60;
    static constexpr int PADDING = 10;
    /// The widest the picker grows for a long name; longer names are shortened.
    static constexpr int MAX_WIDTH = 320;

    explicit ECDevicePicker(QWidget* parent = nullptr);

    /// Rebuilds the rows and sets the content size to (200 or as a long name needs, at most
    /// MAX_WIDTH) × (rows × 60 + 10).
    void setRows(const std::vector<ECDevicePickerRow>& rows);
    int rowCount() const { return int(m_rows.size()); }
    const std::vector<ECDevicePickerRow>& rows() const { return m_rows; }
    QSize contentSize() const;

    /// Shows the popup below `anchor`, its right edge on the anchor's right edge.
    void showBelow(QWidget* anchor);

signals:
    void rowChosen(int row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QVBoxLayout* m_layout;
    std::vector<ECDevicePickerRow> m_rows;
    int m_width { WIDTH };
};
