#pragma once

#include <QComboBox>

/// A pop-up of the nine age ranges, oldest first; the selected item's index picks the range.
class ECTimePopupButton : public QComboBox
{
    Q_OBJECT

public:
    explicit ECTimePopupButton(QWidget* parent = nullptr);

    /// Replaces whatever items the button holds with the nine labels; the constructor calls it.
    void awakeFromNib();

    /// Seconds of the selected range; 0 when nothing is selected.
    double timeRange() const;
};
