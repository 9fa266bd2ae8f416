// Stand-ins for the PNG and JPEG pipelines, so the dispatch can be tested on its
// own: they record each call and act as the test tells them.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/job.h"

struct fake_pipeline_behaviour {
    uint8_t result = 0;
    uint8_t preview_refused = 0;
    size_t shrink_by = 0;            // bytes cut from the end of the file
    bool rewrite_same_size = false;  // rewrite the file without making it smaller
};

struct fake_call {
    std::string path;
    char pipeline;  // 'p' PNG, 'j' JPEG
    image_job job;  // as the pipeline received it
};

void reset_fakes(const fake_pipeline_behaviour& behaviour = {});
// Called with the path after each rewrite, before the pipeline returns; until
// the next reset_fakes.
void set_after_rewrite(std::function<void(const std::string&)> hook);
std::vector<fake_call> fake_calls();
