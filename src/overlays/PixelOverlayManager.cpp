#include "PixelOverlayManager.h"

#include "FrameBufferOverlayModel.h"
#include "PixelOverlayCommands.h"
#include "common/Common.h"
#include "common/FileMonitor.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"

#include <algorithm>
#include <stdexcept>

PixelOverlayManager PixelOverlayManager::INSTANCE;

namespace {
constexpr size_t MAX_NAME_BYTES = 200;
constexpr int RELEASE_WAIT_MS = 2000;
} // namespace

std::string PixelOverlayManager::ModelNameOf(const Json::Value& definition) {
    std::string name =
        definition.isObject() && definition["Name"].isString() ? definition["Name"].asString() : "";
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

bool PixelOverlayManager::isValidModelName(const std::string& name, std::string& error) {
    if (name.empty() || name.size() > MAX_NAME_BYTES) {
        error = "model names must be 1 to 200 bytes long";
        return false;
    }
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        error = "model names must not hold control characters";
        return false;
    }
    return true;
}

// Models are let go while the tables their destructors reach are still whole.
PixelOverlayManager::~PixelOverlayManager() {
    stopUpdateThread();
    std::map<std::string, Entry> doomed;
    {
        std::lock_guard<std::mutex> lock(modelsLock);
        doomed.swap(models);
        active.clear();
    }
}

void PixelOverlayManager::Initialize() {
    setAutoCreatePixelOverlayModels(getSettingInt("AutoCreatePixelOverlayModels", 1) != 0);
    // Before the models file, which may define models shown on a framebuffer.
    registerModelType("FB", FrameBufferOverlayModel::Create);
    loadModelsFile();
    FileMonitor::INSTANCE.AddFile(
        "overlay-models", modelsFilePath(), [this] { loadModelsFile(); }, true);
    RegisterOverlayCommands();
    startUpdateThread();
}

void PixelOverlayManager::Cleanup() {
    FileMonitor::INSTANCE.RemoveFile("overlay-models", modelsFilePath());
    UnregisterOverlayCommands();
    clearModels();
    stopUpdateThread();
}

void PixelOverlayManager::registerModelType(const std::string& type, ModelFactory factory) {
    std::lock_guard<std::mutex> lock(modelsLock);
    factories[type] = std::move(factory);
}

PixelOverlayModel* PixelOverlayManager::makeModel(const Json::Value& definition) {
    ModelFactory factory;
    {
        std::lock_guard<std::mutex> lock(modelsLock);
        auto it = factories.find(definition["Type"].isString() ? definition["Type"].asString() : "");
        if (it != factories.end()) {
            factory = it->second;
        }
    }
    return factory ? factory(definition) : new PixelOverlayModel(definition);
}

// Waits until nothing holds the model any more, so that its successor can open the shared blocks
// of the same name without the old model unlinking them afterwards.
void PixelOverlayManager::release(std::shared_ptr<PixelOverlayModel> model) {
    std::weak_ptr<PixelOverlayModel> watch = model;
    model.reset();
    for (int waited = 0; !watch.expired() && waited < RELEASE_WAIT_MS; waited++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void PixelOverlayManager::detach(const std::string& name) {
    std::shared_ptr<PixelOverlayModel> old;
    {
        std::lock_guard<std::mutex> lock(modelsLock);
        auto it = models.find(name);
        if (it == models.end()) {
            return;
        }
        old = it->second.model;
        models.erase(it);
        auto inList = std::find(active.begin(), active.end(), old);
        if (inList != active.end()) {
            active.erase(inList);
            activeCount = static_cast<int>(active.size());
        }
    }
    old->setRunningEffect(nullptr, 0);
    release(std::move(old));
}

std::shared_ptr<PixelOverlayModel> PixelOverlayManager::addModel(const Json::Value& definition, Source source,
                                                                 std::string* error) {
    std::string why;
    std::string name = ModelNameOf(definition);
    std::shared_ptr<PixelOverlayModel> model;
    if (!definition.isObject()) {
        why = "a model definition must be an object";
    } else if (isValidModelName(name, why)) {
        std::lock_guard<std::mutex> change(changeLock);
        auto existing = findModel(name);
        PixelOverlayState keep = existing ? existing->getState() : PixelOverlayState::Off;
        existing.reset();
        detach(name);
        try {
            model.reset(makeModel(definition));
        } catch (const std::exception& e) {
            why = std::string("its definition is invalid (") + e.what() + ")";
        }
        if (model) {
            std::lock_guard<std::mutex> lock(modelsLock);
            models[model->getName()] = {model, source, definition};
        }
        if (model && !(keep == PixelOverlayState::Off)) {
            model->setState(keep); // a replaced model that was showing keeps showing
        }
    }
    if (!model) {
        LogWarn(LG_CHANNELOUT, "Overlay model '%s' not created: %s\n", name.c_str(), why.c_str());
        WarningHolder::AddWarning("Overlay model '" + name + "' not created: " + why);
        if (error) {
            *error = why;
        }
    }
    return model;
}

bool PixelOverlayManager::removeModel(const std::string& name) {
    std::lock_guard<std::mutex> change(changeLock);
    if (!findModel(name)) {
        return false;
    }
    detach(name);
    return true;
}

// By name: a model held while it is removed would keep its successor waiting.
void PixelOverlayManager::clearModels() {
    for (const std::string& name : getModelNames()) {
        removeModel(name);
    }
}

std::vector<std::string> PixelOverlayManager::getModelNames() {
    std::lock_guard<std::mutex> lock(modelsLock);
    std::vector<std::string> names;
    names.reserve(models.size());
    for (const auto& [name, entry] : models) {
        names.push_back(name);
    }
    return names;
}

PixelOverlayModel* PixelOverlayManager::getModel(const std::string& name) {
    return findModel(name).get();
}

std::shared_ptr<PixelOverlayModel> PixelOverlayManager::findModel(const std::string& name) {
    std::lock_guard<std::mutex> lock(modelsLock);
    auto it = models.find(name);
    return it == models.end() ? nullptr : it->second.model;
}

std::vector<std::shared_ptr<PixelOverlayModel>> PixelOverlayManager::getModels() {
    std::lock_guard<std::mutex> lock(modelsLock);
    std::vector<std::shared_ptr<PixelOverlayModel>> result;
    result.reserve(models.size());
    for (const auto& [name, entry] : models) {
        result.push_back(entry.model);
    }
    return result;
}

bool PixelOverlayManager::isAutomatic(const std::string& name) {
    std::lock_guard<std::mutex> lock(modelsLock);
    auto it = models.find(name);
    return it != models.end() && it->second.source == Source::Automatic;
}

void PixelOverlayManager::addAutoOverlayModel(const std::string& name, int startChannel, int channelCount,
                                              int channelsPerNode, const std::string& orientation,
                                              const std::string& startCorner, int strings, int strands) {
    Json::Value definition;
    definition["Name"] = name;
    definition["Type"] = "Channel";
    definition["StartChannel"] = startChannel + 1;
    definition["ChannelCount"] = channelCount;
    definition["ChannelCountPerNode"] = channelsPerNode;
    definition["Orientation"] = orientation;
    definition["StartCorner"] = startCorner;
    definition["StringCount"] = strings;
    definition["StrandsPerString"] = strands;
    definition["autoCreated"] = true;
    {
        std::lock_guard<std::mutex> lock(modelsLock);
        auto it = models.find(name);
        if (it != models.end() &&
            (it->second.source == Source::File || it->second.definition == definition)) {
            return;
        }
    }
    LogDebug(LG_CHANNELOUT, "Auto overlay model '%s': start %d, %d channels, %d per node, %s %s, %d x %d\n",
             name.c_str(), startChannel, channelCount, channelsPerNode, orientation.c_str(),
             startCorner.c_str(), strings, strands);
    addModel(definition, Source::Automatic);
}

void PixelOverlayManager::modelStateChanged(PixelOverlayModel* model, const PixelOverlayState&,
                                            const PixelOverlayState& newState) {
    bool showing = !(newState == PixelOverlayState::Off) || model->hasChildren();
    if (showing && findModel(model->getName()).get() == model) {
        model->getOverlayBuffer(); // so that other processes can draw into a model that is on
    }
    std::lock_guard<std::mutex> lock(modelsLock);
    auto entry = models.find(model->getName());
    if (entry == models.end() || entry->second.model.get() != model) {
        return; // a model being made or replaced; it is not laid over anything
    }
    auto inList = std::find(active.begin(), active.end(), entry->second.model);
    if (showing && inList == active.end()) {
        active.push_back(entry->second.model);
    } else if (!showing && inList != active.end()) {
        active.erase(inList);
    }
    activeCount = static_cast<int>(active.size());
}

void PixelOverlayManager::setFramePrepass(std::function<void()> prepass) {
    std::lock_guard<std::mutex> lock(prepassLock);
    framePrepass = std::move(prepass);
}

void PixelOverlayManager::doOverlays(unsigned char* channels) {
    {
        std::lock_guard<std::mutex> lock(prepassLock);
        if (framePrepass) {
            framePrepass();
        }
    }
    if (!hasActiveOverlays()) {
        return;
    }
    std::vector<std::shared_ptr<PixelOverlayModel>> showing;
    {
        std::lock_guard<std::mutex> lock(modelsLock);
        showing = active;
    }
    for (const auto& model : showing) {
        if (model->overlayBufferIsDirty()) {
            model->flushOverlayBuffer();
        }
        model->doOverlay(channels);
    }
}

void PixelOverlayManager::addPeriodicUpdate(int periodMS, PixelOverlayModel* model) {
    {
        std::lock_guard<std::mutex> lock(updateLock);
        updates[model] = {model->weak_from_this(),
                          Clock::now() + std::chrono::milliseconds(std::max(1, periodMS)),
                          ++updateGeneration};
    }
    updateWake.notify_all();
}

void PixelOverlayManager::removePeriodicUpdate(PixelOverlayModel* model) {
    std::lock_guard<std::mutex> lock(updateLock);
    updates.erase(model);
}

void PixelOverlayManager::startUpdateThread() {
    std::lock_guard<std::mutex> lock(updateLock);
    if (updateThread.joinable()) {
        return;
    }
    stopUpdates = false;
    updateThread = std::thread([this] { updateThreadMain(); });
}

void PixelOverlayManager::stopUpdateThread() {
    {
        std::lock_guard<std::mutex> lock(updateLock);
        stopUpdates = true;
    }
    updateWake.notify_all();
    if (updateThread.joinable()) {
        updateThread.join();
    }
}

void PixelOverlayManager::updateThreadMain() {
    SetThreadName("KIV-OverlayFx");
    std::unique_lock<std::mutex> lock(updateLock);
    while (!stopUpdates) {
        if (!runOneUpdate(lock)) {
            auto next = std::min_element(updates.begin(), updates.end(), [](const auto& a, const auto& b) {
                return a.second.due < b.second.due;
            });
            if (next == updates.end()) {
                updateWake.wait(lock);
            } else {
                Clock::time_point due = next->second.due; // the entry may go while this waits
                updateWake.wait_until(lock, due);
            }
        }
    }
}

// Runs the update that is due first, if one is; the lock is let go while the effect works, so
// effects may start, stop and change models meanwhile. The value returned is the next delay.
bool PixelOverlayManager::runOneUpdate(std::unique_lock<std::mutex>& lock) {
    auto due = std::min_element(updates.begin(), updates.end(),
                                [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
    if (due == updates.end() || due->second.due > Clock::now()) {
        return false;
    }
    PixelOverlayModel* key = due->first;
    unsigned long generation = due->second.generation;
    std::shared_ptr<PixelOverlayModel> model = due->second.model.lock();
    int next = 0;
    if (model) {
        lock.unlock();
        next = model->updateRunningEffects();
        model.reset();
        lock.lock();
    }
    auto it = updates.find(key);
    if (it != updates.end() && it->second.generation == generation) {
        if (next > 0) {
            it->second.due = Clock::now() + std::chrono::milliseconds(next);
        } else {
            updates.erase(it);
        }
    }
    return true;
}
