// Widgets shared by the windows; see form_widgets.h.
#include "frontend/form_widgets.h"

#include <QPushButton>

QPushButton* make_form_button(QWidget* parent, const char* name, const char* caption) {
    auto* b = new QPushButton(QString::fromUtf8(caption), parent);
    b->setObjectName(name);
    b->resize(90, 40);
    QFont bold = b->font();
    bold.setBold(true);
    b->setFont(bold);
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoDefault(false);
    return b;
}
