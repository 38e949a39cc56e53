# Files compiled into the program: SYMBOL=PATH (relative to the project root).
set(QN_EMBEDDED_FILES
  qn_file_settings_template=src/assets/files/quillnest.ini
  qn_file_theme_css=src/assets/files/theme.css
  qn_file_media_js=src/assets/files/media.js
  qn_file_lib_debug_js=src/assets/files/lib-debug.js
  qn_file_visual_test_htm=src/assets/files/visual-test.htm
  qn_file_icon16_default_png=src/assets/files/icon.16/0-default.png
  qn_file_icon16_audio_png=src/assets/files/icon.16/audio.png
  qn_file_icon16_folder_h_png=src/assets/files/icon.16/g-folder-h.png
  qn_file_icon16_folder_v_png=src/assets/files/icon.16/g-folder-v.png
  qn_file_icon16_img_png=src/assets/files/icon.16/img.png
  qn_file_icon16_text_png=src/assets/files/icon.16/text.png
  qn_file_icon16_video_png=src/assets/files/icon.16/video.png
  qn_file_icon32_default_png=src/assets/files/icon.32/0-default.png
  qn_file_icon32_audio_png=src/assets/files/icon.32/audio.png
  qn_file_icon32_folder_h_png=src/assets/files/icon.32/g-folder-h.png
  qn_file_icon32_img_png=src/assets/files/icon.32/img.png
  qn_file_icon32_text_png=src/assets/files/icon.32/text.png
  qn_file_icon32_video_png=src/assets/files/icon.32/video.png
  qn_file_favicon_ico=src/assets/files/quillnest.ico
)
set(QN_EMBED_ARGS ${QN_EMBEDDED_FILES})
set(QN_EMBED_DEPENDS)
foreach(pair ${QN_EMBEDDED_FILES})
  string(REGEX REPLACE "^[^=]*=" "" file_path ${pair})
  list(APPEND QN_EMBED_DEPENDS ${CMAKE_SOURCE_DIR}/${file_path})
endforeach()
