#include "modules/ECCheckboxHeaderView.h"

#include <QPainter>
#include <QStyleOptionButton>

ECCheckboxHeaderView::ECCheckboxHeaderView(QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent)
{
    setSectionsClickable(true);
    setHighlightSections(false);
    setSortIndicatorShown(false);
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void ECCheckboxHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    QHeaderView::paintSection(painter, rect, logicalIndex);
    if (logicalIndex != m_checkboxSection) {
        return;
    }
    QStyleOptionButton option;
    option.initFrom(this);
    const QRect indicator = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    option.rect = QRect(rect.left() + (rect.width() - indicator.width()) / 2,
        rect.top() + (rect.height() - indicator.height()) / 2, indicator.width(), indicator.height());
    option.state = QStyle::State_Enabled;
    switch (checkState()) {
    case Qt::Checked:
        option.state |= QStyle::State_On;
        break;
    case Qt::PartiallyChecked:
        option.state |= QStyle::State_NoChange;
        break;
    case Qt::Unchecked:
        option.state |= QStyle::State_Off;
        break;
    }
    painter->save();
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, painter, this);
    painter->restore();
}

QSize ECCheckboxHeaderView::sectionSizeFromContents(int logicalIndex) const
{
    QSize size = QHeaderView::sectionSizeFromContents(logicalIndex);
    if (logicalIndex == m_checkboxSection) {
        size.setWidth(32);
    }
    return size;
}
