// Lossless transforms on DCT coefficient arrays.
//
// Every transform is an optional transpose followed by optional mirrors of the
// (transposed) image. On one 8x8 block, with v the vertical and u the
// horizontal frequency, a left-right mirror multiplies coefficient (v, u) by
// (-1)^u, a top-bottom mirror by (-1)^v, and a transpose swaps (v, u) with
// (u, v). The same moves applied to the block grid give the whole image.
// A mirror maps the last block of a row to the first, so it is exact only when
// the mirrored extent is a whole number of interleaved MCUs; otherwise the
// request is refused or the partial edge trimmed.
#include "core/jpg/turbo_ext/lossless_transform.h"

#include <cstdint>

#include <jerror.h>

namespace {

struct transform_moves {
    bool transpose;
    bool mirror_x;  // of the output
    bool mirror_y;
};

transform_moves moves_of(JXFORM_CODE code) {
    switch (code) {
        case JXFORM_FLIP_H: return {false, true, false};
        case JXFORM_FLIP_V: return {false, false, true};
        case JXFORM_TRANSPOSE: return {true, false, false};
        case JXFORM_TRANSVERSE: return {true, true, true};
        case JXFORM_ROT_90: return {true, true, false};
        case JXFORM_ROT_180: return {false, true, true};
        case JXFORM_ROT_270: return {true, false, true};
        case JXFORM_NONE: break;
    }
    return {false, false, false};
}

bool valid_code(JXFORM_CODE code) { return code >= JXFORM_NONE && code <= JXFORM_ROT_270; }

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
uint64_t round_up(uint64_t a, uint64_t b) { return ceil_div(a, b) * b; }

int max_h_samp(j_decompress_ptr src) {
    int m = 1;
    for (int ci = 0; ci < src->num_components; ++ci)
        if (src->comp_info[ci].h_samp_factor > m) m = src->comp_info[ci].h_samp_factor;
    return m;
}

int max_v_samp(j_decompress_ptr src) {
    int m = 1;
    for (int ci = 0; ci < src->num_components; ++ci)
        if (src->comp_info[ci].v_samp_factor > m) m = src->comp_info[ci].v_samp_factor;
    return m;
}

// Grey reduction keeps component 0 as the whole image, which is right only for
// a YCbCr image whose luma is sampled at full resolution.
bool grey_reduction_possible(j_decompress_ptr src) {
    if (src->num_components == 1) return true;
    return src->num_components == 3 && src->jpeg_color_space == JCS_YCbCr &&
           src->comp_info[0].h_samp_factor == max_h_samp(src) && src->comp_info[0].v_samp_factor == max_v_samp(src);
}

// Sampling factors of output component `ci` (a single output component is
// always 1x1: alone it covers the whole image whatever its factors were).
void output_sampling(j_decompress_ptr src, const jpeg_transform_info* info, int ci, int& h, int& v) {
    if (info->num_components == 1) {
        h = v = 1;
        return;
    }
    const bool t = moves_of(info->transform).transpose;
    h = t ? src->comp_info[ci].v_samp_factor : src->comp_info[ci].h_samp_factor;
    v = t ? src->comp_info[ci].h_samp_factor : src->comp_info[ci].v_samp_factor;
}

struct component_grid {
    JDIMENSION width_in_blocks;
    JDIMENSION height_in_blocks;
    int h_samp;
    int v_samp;
};

component_grid output_grid(j_decompress_ptr src, const jpeg_transform_info* info, int ci) {
    int max_h = 1, max_v = 1;
    for (int c = 0; c < info->num_components; ++c) {
        int h, v;
        output_sampling(src, info, c, h, v);
        if (h > max_h) max_h = h;
        if (v > max_v) max_v = v;
    }
    component_grid g;
    output_sampling(src, info, ci, g.h_samp, g.v_samp);
    g.width_in_blocks = static_cast<JDIMENSION>(
        ceil_div(static_cast<uint64_t>(info->output_width) * g.h_samp, static_cast<uint64_t>(max_h) * DCTSIZE));
    g.height_in_blocks = static_cast<JDIMENSION>(
        ceil_div(static_cast<uint64_t>(info->output_height) * g.v_samp, static_cast<uint64_t>(max_v) * DCTSIZE));
    return g;
}

// Where coefficient k of an output block comes from, and its sign.
struct coefficient_map {
    uint8_t source[DCTSIZE2];
    int8_t sign[DCTSIZE2];
};

coefficient_map map_for(const transform_moves& m) {
    coefficient_map map;
    for (int v = 0; v < DCTSIZE; ++v) {
        for (int u = 0; u < DCTSIZE; ++u) {
            const int k = v * DCTSIZE + u;
            map.source[k] = static_cast<uint8_t>(m.transpose ? u * DCTSIZE + v : k);
            int s = 1;
            if (m.mirror_x && (u & 1)) s = -s;
            if (m.mirror_y && (v & 1)) s = -s;
            map.sign[k] = static_cast<int8_t>(s);
        }
    }
    return map;
}

void move_block(const JCOEF* in, JCOEF* out, const coefficient_map& map) {
    for (int k = 0; k < DCTSIZE2; ++k) out[k] = static_cast<JCOEF>(map.sign[k] * in[map.source[k]]);
}

}  // namespace

boolean jtransform_request_workspace(j_decompress_ptr srcinfo, jpeg_transform_info* info) {
    info->workspace_coef_arrays = nullptr;
    info->num_components = srcinfo->num_components;
    info->output_width = srcinfo->image_width;
    info->output_height = srcinfo->image_height;
    if (info->crop || !valid_code(info->transform)) return FALSE;
    if (info->force_grayscale) {
        if (!grey_reduction_possible(srcinfo)) return FALSE;
        info->num_components = 1;
    }

    // The interleaved MCU of the input, in pixels; one block for a single
    // output component.
    const bool single = info->num_components == 1;
    const JDIMENSION mcu_w = single ? DCTSIZE : static_cast<JDIMENSION>(max_h_samp(srcinfo) * DCTSIZE);
    const JDIMENSION mcu_h = single ? DCTSIZE : static_cast<JDIMENSION>(max_v_samp(srcinfo) * DCTSIZE);

    // Input edges that a mirror moves away from the right or bottom.
    const transform_moves m = moves_of(info->transform);
    const bool full_width = m.transpose ? m.mirror_y : m.mirror_x;
    const bool full_height = m.transpose ? m.mirror_x : m.mirror_y;
    JDIMENSION width = srcinfo->image_width;
    JDIMENSION height = srcinfo->image_height;
    if ((full_width && width % mcu_w != 0) || (full_height && height % mcu_h != 0)) {
        if (!info->trim) return FALSE;
        if (full_width) width -= width % mcu_w;
        if (full_height) height -= height % mcu_h;
        if (width == 0 || height == 0) return FALSE;
    }
    info->output_width = m.transpose ? height : width;
    info->output_height = m.transpose ? width : height;

    if (info->transform == JXFORM_NONE && width == srcinfo->image_width && height == srcinfo->image_height)
        return TRUE;  // the input arrays are written as they are

    info->workspace_coef_arrays = static_cast<jvirt_barray_ptr*>((*srcinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(srcinfo), JPOOL_IMAGE, sizeof(jvirt_barray_ptr) * info->num_components));
    for (int ci = 0; ci < info->num_components; ++ci) {
        const component_grid g = output_grid(srcinfo, info, ci);
        info->workspace_coef_arrays[ci] = (*srcinfo->mem->request_virt_barray)(
            reinterpret_cast<j_common_ptr>(srcinfo), JPOOL_IMAGE, TRUE,
            static_cast<JDIMENSION>(round_up(g.width_in_blocks, static_cast<uint64_t>(g.h_samp))),
            static_cast<JDIMENSION>(round_up(g.height_in_blocks, static_cast<uint64_t>(g.v_samp))),
            static_cast<JDIMENSION>(g.v_samp));
    }
    return TRUE;
}

jvirt_barray_ptr* jtransform_adjust_parameters(j_decompress_ptr srcinfo, j_compress_ptr dstinfo,
                                               jvirt_barray_ptr* src_coef_arrays, jpeg_transform_info* info) {
    if (info->num_components == 1 && dstinfo->num_components != 1) {
        const int table = dstinfo->comp_info[0].quant_tbl_no;
        jpeg_set_colorspace(dstinfo, JCS_GRAYSCALE);
        dstinfo->comp_info[0].quant_tbl_no = table;
    }
    dstinfo->image_width = info->output_width;
    dstinfo->image_height = info->output_height;
    for (int ci = 0; ci < dstinfo->num_components; ++ci) {
        int h, v;
        output_sampling(srcinfo, info, ci, h, v);
        dstinfo->comp_info[ci].h_samp_factor = h;
        dstinfo->comp_info[ci].v_samp_factor = v;
    }

    // A transposed block needs the transposed quantisation table.
    if (moves_of(info->transform).transpose) {
        bool done[NUM_QUANT_TBLS] = {};
        for (int ci = 0; ci < dstinfo->num_components; ++ci) {
            const int t = dstinfo->comp_info[ci].quant_tbl_no;
            if (t < 0 || t >= NUM_QUANT_TBLS || done[t]) continue;
            done[t] = true;
            JQUANT_TBL* q = dstinfo->quant_tbl_ptrs[t];
            if (!q) ERREXIT1(dstinfo, JERR_NO_QUANT_TABLE, t);
            for (int v = 0; v < DCTSIZE; ++v)
                for (int u = v + 1; u < DCTSIZE; ++u) {
                    const UINT16 a = q->quantval[v * DCTSIZE + u];
                    q->quantval[v * DCTSIZE + u] = q->quantval[u * DCTSIZE + v];
                    q->quantval[u * DCTSIZE + v] = a;
                }
        }
    }
    return info->workspace_coef_arrays ? info->workspace_coef_arrays : src_coef_arrays;
}

void jtransform_execute_transform(j_decompress_ptr srcinfo, j_compress_ptr,
                                  jvirt_barray_ptr* src_coef_arrays, jpeg_transform_info* info) {
    if (!info->workspace_coef_arrays) return;
    const transform_moves m = moves_of(info->transform);
    const coefficient_map map = map_for(m);
    j_common_ptr common = reinterpret_cast<j_common_ptr>(srcinfo);
    for (int ci = 0; ci < info->num_components; ++ci) {
        const component_grid g = output_grid(srcinfo, info, ci);
        // Mirrored extents are whole MCUs (checked when the workspace was
        // requested), so the grid has no padding along a mirrored axis.
        for (JDIMENSION by = 0; by < g.height_in_blocks; ++by) {
            JBLOCKROW out = (*srcinfo->mem->access_virt_barray)(common, info->workspace_coef_arrays[ci], by, 1, TRUE)[0];
            const JDIMENSION iy = m.mirror_y ? g.height_in_blocks - 1 - by : by;
            if (!m.transpose) {
                JBLOCKROW in = (*srcinfo->mem->access_virt_barray)(common, src_coef_arrays[ci], iy, 1, FALSE)[0];
                for (JDIMENSION bx = 0; bx < g.width_in_blocks; ++bx) {
                    const JDIMENSION ix = m.mirror_x ? g.width_in_blocks - 1 - bx : bx;
                    move_block(in[ix], out[bx], map);
                }
            } else {
                // Output row `by` is input column `iy`, read one block per input row.
                for (JDIMENSION bx = 0; bx < g.width_in_blocks; ++bx) {
                    const JDIMENSION ix = m.mirror_x ? g.width_in_blocks - 1 - bx : bx;
                    JBLOCKROW in = (*srcinfo->mem->access_virt_barray)(common, src_coef_arrays[ci], ix, 1, FALSE)[0];
                    move_block(in[iy], out[bx], map);
                }
            }
        }
    }
}
