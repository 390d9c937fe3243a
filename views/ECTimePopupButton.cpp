#include "views/ECTimePopupButton.h"

#include "modules/ECAgeRange.h"

ECTimePopupButton::ECTimePopupButton(QWidget* parent)
    : QComboBox(parent)
{
    setAccessibleName(tr("Age"));
    awakeFromNib();
}

void ECTimePopupButton::awakeFromNib()
{
    clear();
    addItems(ECAgeRange::labels());
}

double ECTimePopupButton::timeRange() const
{
    const int index = currentIndex();
    if (index < 0 || index >= ECAgeRange::COUNT) {
        return 0;
    }
    return double(ECAgeRange::atIndex(index).seconds());
}
