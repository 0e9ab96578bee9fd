#pragma once
// Owns every overlay model, lays the active ones over the channel data each frame and runs the
// models' effects.
//
// Models come from three places: the definitions in media directory + "/config/overlay-models.json"
// ({"models": [definitions]}; watched, so a rewrite replaces that file's models and leaves the
// others alone; a file that cannot be read changes nothing), the API (which keeps its definitions in that
// file) and the outputs (addAutoOverlayModel, when the setting "AutoCreatePixelOverlayModels" is on, the
// default). A definition's "Type" picks the model class (registerModelType); "FB" (registered by
// Initialize) makes a FrameBufferOverlayModel, anything unregistered a plain
// PixelOverlayModel. A model that is switched on gets its overlay buffer, so other processes can draw into it
// and set its ready bit. A name from a file or a request must be 1 to 200 bytes without control characters,
// as it becomes the name of shared-memory blocks.
//
// Threads: the model table and the active list are guarded by modelsLock, never held while a model
// works. Adding, replacing and removing models is serialised by changeLock; a replaced model is
// destroyed before its successor opens the same shared blocks. doOverlays runs on the channel-output
// thread; effect updates on the manager's own thread "KIV-OverlayFx". Pointers from getModel stay
// valid until that model is replaced or removed; findModel's shared pointer keeps it alive.

#include "PixelOverlayModel.h"

#include <jsoncpp/json/json.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PixelOverlayManager {
public:
    static PixelOverlayManager INSTANCE;
    using ModelFactory = std::function<PixelOverlayModel*(const Json::Value&)>;
    enum class Source { File, Automatic };

    PixelOverlayManager() = default;
    ~PixelOverlayManager();

    // Reads the setting and the models file, watches the file, registers the commands and starts
    // the effect thread.
    void Initialize();
    void Cleanup();

    void registerModelType(const std::string& type, ModelFactory factory);

    // Makes a model from a definition, replacing one of the same name. Null (with the reason in
    // `error`, logged) when the definition is refused.
    std::shared_ptr<PixelOverlayModel> addModel(const Json::Value& definition, Source source = Source::File,
                                                std::string* error = nullptr);
    bool removeModel(const std::string& name);
    void clearModels();
    PixelOverlayModel* getModel(const std::string& name);
    std::shared_ptr<PixelOverlayModel> findModel(const std::string& name);
    // Every model, in name order.
    std::vector<std::shared_ptr<PixelOverlayModel>> getModels();
    std::vector<std::string> getModelNames();
    bool isAutomatic(const std::string& name);

    // A "Channel" model for an output's display; a model the user defined under that name wins.
    void addAutoOverlayModel(const std::string& name, int startChannel, int channelCount, int channelsPerNode,
                             const std::string& orientation, const std::string& startCorner, int strings,
                             int strands);
    bool isAutoCreatePixelOverlayModels() const { return autoCreate.load(); }
    void setAutoCreatePixelOverlayModels(bool enabled) { autoCreate.store(enabled); }

    // Definitions kept in the models file: add or replace one (it is made at once), or remove one.
    bool saveModelDefinition(const Json::Value& definition, std::string& error);
    bool deleteModelDefinition(const std::string& name);
    std::string modelsFilePath() const;
    // Re-reads the models file; models of the file that did not change are left as they are.
    void loadModelsFile();

    bool hasActiveOverlays() const { return activeCount.load() > 0; }
    void modelStateChanged(PixelOverlayModel* model, const PixelOverlayState& oldState,
                           const PixelOverlayState& newState);
    // Per frame, before the outputs prepare their data: flush pictures, then lay the models over.
    void doOverlays(unsigned char* channels);
    // Work that draws into models every frame before they are laid over (video playback); runs on
    // the channel-output thread at the start of doOverlays. An empty function removes it.
    void setFramePrepass(std::function<void()> prepass);

    void addPeriodicUpdate(int periodMS, PixelOverlayModel* model);
    void removePeriodicUpdate(PixelOverlayModel* model);

    // The name a definition gives its model ("/" becomes "_"); empty when it has none.
    static std::string ModelNameOf(const Json::Value& definition);
    // Refuses names that cannot name a model's shared blocks; the reason goes to `error`.
    static bool isValidModelName(const std::string& name, std::string& error);

private:
    struct Entry {
        std::shared_ptr<PixelOverlayModel> model;
        Source source;
        Json::Value definition; // as given, to tell whether a file rewrite changed it
    };
    using Clock = std::chrono::steady_clock;
    struct Update {
        std::weak_ptr<PixelOverlayModel> model;
        Clock::time_point due;
        unsigned long generation;
    };

    PixelOverlayModel* makeModel(const Json::Value& definition);
    void release(std::shared_ptr<PixelOverlayModel> model);
    void detach(const std::string& name);
    void startUpdateThread();
    void stopUpdateThread();
    void updateThreadMain();
    bool runOneUpdate(std::unique_lock<std::mutex>& lock);
    bool readModelsFile(Json::Value& definitions);
    bool writeModelsFile(const Json::Value& models);

    std::atomic<bool> autoCreate{true};
    std::atomic<int> activeCount{0};
    std::mutex changeLock;
    std::mutex modelsLock;
    std::map<std::string, Entry> models;                    // guarded by modelsLock
    std::vector<std::shared_ptr<PixelOverlayModel>> active; // guarded by modelsLock
    std::map<std::string, ModelFactory> factories;          // guarded by modelsLock

    std::mutex updateLock;
    std::condition_variable updateWake;
    std::map<PixelOverlayModel*, Update> updates; // guarded by updateLock
    unsigned long updateGeneration = 0;           // guarded by updateLock
    bool stopUpdates = false;                     // guarded by updateLock
    std::thread updateThread;

    std::mutex prepassLock;
    std::function<void()> framePrepass; // guarded by prepassLock
};
