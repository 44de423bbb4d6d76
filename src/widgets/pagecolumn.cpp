#include "widgets/pagecolumn.h"

#include <QLayout>

namespace vrn {

int PageColumn::heightForWidth(int width) const
{
    const QLayout *column = layout();
    return column && column->hasHeightForWidth() ? column->totalMinimumHeightForWidth(width) : -1;
}

} // namespace vrn
