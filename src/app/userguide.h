#pragma once

class QWidget;

namespace vrn {

// Shows the built-in user guide in a window of its own, one for the session, owned by `parent`.
// Links to the outside open in the desktop's browser through Dialogs::openUrl.
void showUserGuide(QWidget *parent);

} // namespace vrn
