#include "fake_pipelines.h"

#include <mutex>
#include <utility>

#include "core/jpg/jpeg_optimizer.h"
#include "core/platform.h"
#include "core/png/png_optimizer.h"

namespace {

std::mutex guard;
fake_pipeline_behaviour behaviour;
std::vector<fake_call> calls;
std::function<void(const std::string&)> after_rewrite;

int fake_pipeline(char which, const std::string& path, image_job& job) {
    fake_pipeline_behaviour b;
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(guard);
        calls.push_back({path, which, job});
        b = behaviour;
        hook = after_rewrite;
    }
    if (b.shrink_by || b.rewrite_same_size) {
        // As a pipeline does: read and replace through the platform layer.
        std::vector<uint8_t> bytes;
        read_whole_file(path, bytes);
        bytes.resize(bytes.size() > b.shrink_by ? bytes.size() - b.shrink_by : 0);
        replace_file_contents(path, bytes.data(), bytes.size());
        if (hook) hook(path);
    }
    job.result = b.result;
    job.preview_refused = b.preview_refused;
    return 0;
}

}  // namespace

void reset_fakes(const fake_pipeline_behaviour& b) {
    std::lock_guard<std::mutex> lock(guard);
    behaviour = b;
    calls.clear();
    after_rewrite = nullptr;
}

void set_after_rewrite(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(guard);
    after_rewrite = std::move(hook);
}

std::vector<fake_call> fake_calls() {
    std::lock_guard<std::mutex> lock(guard);
    return calls;
}

int optimize_png_file(const std::string& path, image_job& job) { return fake_pipeline('p', path, job); }
int optimize_jpeg_file(const std::string& path, image_job& job) { return fake_pipeline('j', path, job); }
