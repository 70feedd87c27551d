#pragma once
// Enabling and finding controls in a widget tree. A widget's tag is its "tag" property (an
// int); a button's image name is its "imageName" property; a widget's title is its "title"
// "identifier" property when set, else the title or text it shows.

#include <QString>
#include <QWidget>

namespace vorn {

inline constexpr int kTagLeaveAlone = -99;      // never enabled or disabled
inline constexpr int kTagGreyWithState = -100;  // text turns grey when disabled
inline constexpr const char* kRevealImageName = "DownloadReveal";

int widgetTag(const QWidget* widget);
QString widgetTitle(const QWidget* widget);

// Enables or disables every control under view, except tag -99 and buttons showing the
// "DownloadReveal" image; tag -100 also turns its text black or grey (posted to the main
// thread, not waited for).
void viewSetEnabled(QWidget* view, bool enabled);

// The first direct child whose title equals title, case-insensitively; nullptr when none.
QWidget* findSubView(QWidget* view, const QString& title);

}  // namespace vorn
