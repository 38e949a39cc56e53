// Bytes generated at build time by the embedding tool (tools/embed.cpp).
#pragma once

extern const unsigned char qn_file_settings_template[];
extern const unsigned int qn_file_settings_template_size;

// The built-in assets; the upright folder icon serves both icon sizes.
extern const unsigned char qn_file_theme_css[];
extern const unsigned int qn_file_theme_css_size;
extern const unsigned char qn_file_media_js[];
extern const unsigned int qn_file_media_js_size;
extern const unsigned char qn_file_lib_debug_js[];
extern const unsigned int qn_file_lib_debug_js_size;
extern const unsigned char qn_file_visual_test_htm[];
extern const unsigned int qn_file_visual_test_htm_size;
extern const unsigned char qn_file_icon16_default_png[];
extern const unsigned int qn_file_icon16_default_png_size;
extern const unsigned char qn_file_icon16_audio_png[];
extern const unsigned int qn_file_icon16_audio_png_size;
extern const unsigned char qn_file_icon16_folder_h_png[];
extern const unsigned int qn_file_icon16_folder_h_png_size;
extern const unsigned char qn_file_icon16_folder_v_png[];
extern const unsigned int qn_file_icon16_folder_v_png_size;
extern const unsigned char qn_file_icon16_img_png[];
extern const unsigned int qn_file_icon16_img_png_size;
extern const unsigned char qn_file_icon16_text_png[];
extern const unsigned int qn_file_icon16_text_png_size;
extern const unsigned char qn_file_icon16_video_png[];
extern const unsigned int qn_file_icon16_video_png_size;
extern const unsigned char qn_file_icon32_default_png[];
extern const unsigned int qn_file_icon32_default_png_size;
extern const unsigned char qn_file_icon32_audio_png[];
extern const unsigned int qn_file_icon32_audio_png_size;
extern const unsigned char qn_file_icon32_folder_h_png[];
extern const unsigned int qn_file_icon32_folder_h_png_size;
extern const unsigned char qn_file_icon32_img_png[];
extern const unsigned int qn_file_icon32_img_png_size;
extern const unsigned char qn_file_icon32_text_png[];
extern const unsigned int qn_file_icon32_text_png_size;
extern const unsigned char qn_file_icon32_video_png[];
extern const unsigned int qn_file_icon32_video_png_size;
extern const unsigned char qn_file_favicon_ico[];
extern const unsigned int qn_file_favicon_ico_size;

// Seconds since 1970 at which the program's files were embedded.
extern const long long qn_build_time;
