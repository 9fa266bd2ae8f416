// Extended compression parameters and the write call that applies them.
#include "core/jpg/turbo_ext/compress_params.h"

#include <jerror.h>

#include "core/jpg/turbo_ext/scan_search.h"

namespace {

jpeg_ext_settings* settings_of(j_compress_ptr cinfo) {
    auto* s = static_cast<jpeg_ext_settings*>(cinfo->client_data);
    if (!s) ERREXIT(cinfo, JERR_NOTIMPL);
    return s;
}

bool scan_search_on(const jpeg_ext_settings& s) {
    if (s.optimize_scans_given) return s.optimize_scans;
    return s.profile == JCP_MAX_COMPRESSION;
}

}  // namespace

void jpeg_ext_attach(j_compress_ptr cinfo, jpeg_ext_settings* settings) { cinfo->client_data = settings; }

void jpeg_c_set_int_param(j_compress_ptr cinfo, jpeg_int_param key, int value) {
    jpeg_ext_settings* s = settings_of(cinfo);
    const uint32_t v = static_cast<uint32_t>(value);
    if (key != JINT_COMPRESS_PROFILE || (v != JCP_FASTEST && v != JCP_MAX_COMPRESSION)) ERREXIT(cinfo, JERR_NOTIMPL);
    s->profile = v;
}

void jpeg_c_set_bool_param(j_compress_ptr cinfo, jpeg_bool_param key, boolean value) {
    jpeg_ext_settings* s = settings_of(cinfo);
    if (key != JBOOLEAN_OPTIMIZE_SCANS) ERREXIT(cinfo, JERR_NOTIMPL);
    s->optimize_scans = value != FALSE;
    s->optimize_scans_given = true;
}

void jpeg_ext_write_coefficients(j_compress_ptr cinfo, jvirt_barray_ptr* coef_arrays) {
    jpeg_ext_settings* s = settings_of(cinfo);
    if (scan_search_on(*s)) {
        cinfo->optimize_coding = TRUE;
        s->script.clear();
        if (choose_progressive_script(cinfo, coef_arrays, s->script) && !s->script.empty()) {
            cinfo->scan_info = s->script.data();
            cinfo->num_scans = static_cast<int>(s->script.size());
        } else {
            jpeg_simple_progression(cinfo);
        }
    }
    jpeg_write_coefficients(cinfo, coef_arrays);
}
