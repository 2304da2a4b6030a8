#include "qt/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "qt/dialog_units.h"
#include "qt/qt_text.h"
#include "qt/window_icon.h"
#include "window/window_content.h"

namespace kestrel {

AboutBox::AboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(toQString(kAboutTitle));
  setFont(dialogFont());
  DialogUnits du(font());
  setFixedSize(du.x(223), du.y(92));
  setWindowIcon(programIcon());

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("aboutIcon"));
  icon->setGeometry(du.rect(11, 17, 20, 20));
  // At the top left of its place, where a dialog template's icon control draws it.
  icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  icon->setPixmap(programIcon().pixmap(32, 32));

  auto* version = new QLabel(toQString(kAboutVersion), this);
  version->setObjectName(QStringLiteral("aboutVersion"));
  version->setTextFormat(Qt::PlainText);
  QRect r = du.rect(40, 10, 119, 8);
  r.setWidth(std::max(r.width(), version->sizeHint().width()));
  r.setHeight(std::max(r.height(), version->sizeHint().height()));
  version->setGeometry(r);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("aboutOk"));
  ok->setGeometry(du.rect(161, 7, 46, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace kestrel
