// The built-in assets: the style sheet, scripts, test page and icons served
// under "/quillnest/" whatever the document root holds, and the icon file that
// answers "/favicon.ico" when the root has none.
#pragma once
#include <cstdint>

#include "assets/embedded.h"

// Records in the "/quillnest/" group.
constexpr uint32_t builtin_asset_count = 18;

// The "/quillnest/" group; sorted by sort key (byte-wise ascending) once
// builtin_assets_init has run. Read-only after start-up.
extern embedded_file* g_builtin_assets[builtin_asset_count];

// Dates every built-in record with the build time and sorts the group. Runs
// once at start-up, before any request is served.
void builtin_assets_init();

// The group's record whose relative path (the URL part after "/quillnest/",
// e.g. "icon.16/audio.png") equals relative_path byte for byte; null when
// none does or relative_path is null. Safe from any thread.
const embedded_file* find_builtin_asset(const char* relative_path);

// The icon file served for "/favicon.ico" (record url "/quillnest.ico").
const embedded_file* favicon_asset();
