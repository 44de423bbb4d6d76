#pragma once

#include <QPoint>

#include <functional>

class QWidget;

namespace vrn {

class SettingsModel;
struct XsdtNode;

// What the pages do with the menu's requests; an entry whose callback is missing is disabled
// (Edit value and Show in All settings are left out instead).
struct SettingMenuCallbacks
{
    std::function<void(XsdtNode *)> onDelete;
    std::function<void(XsdtNode *)> onRestore;
    std::function<void(XsdtNode *)> onReveal;
    std::function<void(XsdtNode *)> onEdit;
    // The tree shows bare paths and raw values, so it offers them for pasting elsewhere.
    bool offerCopy = false;
};

// The right-click menu of a setting, shared by every page that shows setting rows. It acts on
// the chosen entry after the menu has closed.
void showSettingMenu(QWidget *parent, SettingsModel *model, XsdtNode *node, const QPoint &globalPos,
                     bool viewOnly, const SettingMenuCallbacks &callbacks);

} // namespace vrn
