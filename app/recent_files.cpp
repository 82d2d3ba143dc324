// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/recent_files.h"

#include <dlfcn.h>

#include <wx/filename.h>

namespace {

// GTK is loaded by the toolkit already; its functions are found at run time
// so that the build needs no GTK headers of its own.
template <typename Function>
Function* Find(const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_DEFAULT, name));
}

}  // namespace

bool KeepOutOfRecentFiles() {
    auto* settings = Find<void*()>("gtk_settings_get_default");
    auto* set = Find<void(void*, const char*, ...)>("g_object_set");
    void* object = settings != nullptr ? settings() : nullptr;
    if (object == nullptr || set == nullptr) return false;
    // GtkRecentManager drops every addition while this is off; the list's
    // existing entries, other programs', are left alone.
    set(object, "gtk-recent-files-enabled", 0, nullptr);
    return true;
}

bool RecentFilesRecord(const std::string& path) {
    // GtkRecentData's layout. The full call adds at once; the plain one
    // looks up the file's type first and adds later.
    struct RecentData {
        const char* displayName;
        const char* description;
        const char* mimeType;
        const char* appName;
        const char* appExec;
        const char** groups;
        int isPrivate;
    };
    auto* manager = Find<void*()>("gtk_recent_manager_get_default");
    auto* add = Find<int(void*, const char*, const RecentData*)>("gtk_recent_manager_add_full");
    auto* has = Find<int(void*, const char*)>("gtk_recent_manager_has_item");
    void* object = manager != nullptr ? manager() : nullptr;
    if (object == nullptr || add == nullptr || has == nullptr) return true;  // cannot tell: assume the worst
    const std::string uri = wxFileName::FileNameToURL(wxFileName(path)).utf8_string();
    const RecentData data = {nullptr, nullptr, "application/octet-stream", "ombrel", "ombrel %u",
                             nullptr, 0};
    add(object, uri.c_str(), &data);
    return has(object, uri.c_str()) != 0;
}
