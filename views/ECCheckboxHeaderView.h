#pragma once

#include <QHeaderView>

#include <functional>

/// A table header whose checkbox column shows a checkbox: checked when every shown item is,
/// partly when some are, empty when none is. Clicking it is handled by the module, through
/// sectionClicked: it checks every shown item when none is checked, and unchecks them otherwise.
class ECCheckboxHeaderView : public QHeaderView
{
    Q_OBJECT

public:
    explicit ECCheckboxHeaderView(QWidget* parent = nullptr);

    void setCheckboxSection(int section) { m_checkboxSection = section; }
    int checkboxSection() const { return m_checkboxSection; }
    void setCheckStateProvider(std::function<Qt::CheckState()> provider) { m_checkState = std::move(provider); }
    Qt::CheckState checkState() const { return m_checkState ? m_checkState() : Qt::Unchecked; }
    /// Where the checkbox is drawn within a section's rectangle: a 14-point square, centred.
    static QRectF indicatorRect(const QRect& section);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    QSize sectionSizeFromContents(int logicalIndex) const override;

private:
    int m_checkboxSection { -1 };
    std::function<Qt::CheckState()> m_checkState;
};
