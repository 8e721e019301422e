#include "apple-engine/speech_model.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "apple-engine/helper_error.h"

namespace norvi::engine {
namespace {

constexpr auto progressInterval = std::chrono::milliseconds(500);

// Writes the progress until cancelled, on its own thread; nobody waits for it to end.
class ProgressTask {
  public:
    static std::shared_ptr<ProgressTask> start(std::shared_ptr<const InstallationProgress> progress,
                                               RecordWriter write) {
        auto task = std::make_shared<ProgressTask>();
        std::thread([task, progress = std::move(progress), write = std::move(write)] {
            std::unique_lock lock(task->mutex_);
            while (!task->cancelled_) {
                lock.unlock();
                write(ModelDownloadEvent{.fraction = progress->fractionCompleted()});
                lock.lock();
                task->changed_.wait_for(lock, progressInterval, [&] { return task->cancelled_; });
            }
        }).detach();
        return task;
    }

    void cancel() {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;
};

}  // namespace

Locale resolveSpeechLocale(Speech& speech, const std::string& language) {
    const Locale requested = Locale::fromIdentifier(language);
    if (std::optional<Locale> equivalent = speech.supportedLocaleEquivalentTo(requested)) {
        return *equivalent;
    }
    for (const Locale& supported : speech.supportedLocales()) {
        if (supported.languageCode == requested.languageCode) {
            return supported;
        }
    }
    throw HelperError("Apple speech recognition does not support " + language + ".");
}

asio::awaitable<void> ensureSpeechModel(Speech& speech,
                                        const std::shared_ptr<SpeechTranscriber>& transcriber,
                                        RecordWriter write) {
    const SpeechModules modules{transcriber};
    if (speech.assetStatus(modules) == AssetStatus::installed) {
        co_return;
    }
    std::shared_ptr<AssetInstallationRequest> request = speech.assetInstallationRequest(modules);
    if (!request) {
        co_return;
    }
    const std::shared_ptr<ProgressTask> progressTask =
        ProgressTask::start(request->progress(), write);
    try {
        co_await request->downloadAndInstall();
    } catch (...) {
        progressTask->cancel();
        throw;
    }
    write(ModelDownloadEvent{.fraction = 1});
    progressTask->cancel();
}

}  // namespace norvi::engine
