// The native half of the quelt-dds package: loads the connector library at run time (the path
// comes from JavaScript, which applies QUELT_DDS_LIBRARY), captures the library's log lines per
// call, and turns a reader's data-available callback into an event on the main thread. Values
// are checked in JavaScript before they get here; this side only moves them.
#include <napi.h>

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// The exported functions used here, with the public header's signatures. Looked up with dlsym so
// that the addon builds without the library and loads the one the user names.
struct Api {
    void *(*create)(const char *, const char *, const void *);
    void (*destroy)(void *);
    void (*setNumber)(void *, const char *, const char *, double);
    void (*setBoolean)(void *, const char *, const char *, int);
    void (*setString)(void *, const char *, const char *, const char *);
    void (*clear)(void *, const char *);
    double (*getNumberFromInfos)(void *, const char *, int, const char *);
    int (*getBooleanFromInfos)(void *, const char *, int, const char *);
    char *(*getStringFromInfos)(void *, const char *, int, const char *);
    double (*getSamplesLength)(void *, const char *);
    void (*freeString)(char *);
    void (*write)(void *, const char *, const char *);
    void (*read)(void *, const char *);
    void (*take)(void *, const char *);
    void (*setJSONInstance)(void *, const char *, const char *);
    char *(*getJSONInstance)(void *, const char *);
    char *(*getJSONSample)(void *, const char *, int);
    void *(*getReader)(void *, const char *);
    void *(*getWriter)(void *, const char *);
    int (*wait)(void *, int);
    char *(*getEntityNamesJSON)(void *, int);
    char *(*getTypeJSON)(void *, const char *);
    char *(*getConfigNamesJSON)(const char *);
    void (*installListener)(void *, const char *, void (*)(void *, void *), void *);
    void (*setSink)(void (*)(int, const char *, void *), void *);
    void (*assertCode)(void *, const char *, const char *, int);
    int (*execute)(void *);
    int (*setStringIntoContext)(void *, const char *, const char *);
} api;
bool loaded = false;

// ---- log capture: lines logged by the main thread during a call belong to that call ----
struct Line {
    int level;
    std::string text;
};
thread_local std::vector<Line> *t_lines = nullptr;

void sink(int level, const char *line, void *)
{
    if (t_lines) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        t_lines->push_back({level, std::move(text)});
    } else {
        std::fputs(line, stderr); // another thread's line (a status event): as without the binding
    }
}

struct Capture {
    std::vector<Line> lines;
    std::vector<Line> *saved;
    Capture() : saved(t_lines) { t_lines = &lines; }
    ~Capture() { t_lines = saved; }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
};

constexpr int kErrorLevel = 1;

// What JavaScript gave at init: the error class and the function that passes warnings on.
struct Shared {
    Napi::FunctionReference errorClass;
    Napi::FunctionReference warn;
};

// A log line without the logging function's name in front of it.
std::string reason(const std::string &line)
{
    const auto colon = line.find(": ");
    if (colon == std::string::npos || colon == 0)
        return line;
    for (size_t i = 0; i < colon; ++i) {
        const char ch = line[i];
        if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_'))
            return line;
    }
    return line.substr(colon + 2);
}

Napi::Array logArray(Napi::Env env, const std::vector<Line> &lines)
{
    auto out = Napi::Array::New(env, lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        out.Set(static_cast<uint32_t>(i), lines[i].text);
    return out;
}

Napi::Value makeError(Napi::Env env, const std::string &message, const std::vector<Line> &lines)
{
    auto *shared = env.GetInstanceData<Shared>();
    return shared->errorClass.New({Napi::String::New(env, message), logArray(env, lines)});
}

// After a call: an error line throws (led by the first error line), other lines become warnings.
// Returns false when it threw.
bool settle(Napi::Env env, Capture &cap)
{
    if (cap.lines.empty())
        return true;
    for (const auto &line : cap.lines) {
        if (line.level == kErrorLevel) {
            Napi::Error(env, makeError(env, reason(line.text), cap.lines)).ThrowAsJavaScriptException();
            return false;
        }
    }
    auto *shared = env.GetInstanceData<Shared>();
    for (const auto &line : cap.lines)
        shared->warn.Call({Napi::String::New(env, line.text)});
    return true;
}

Napi::Value takeString(Napi::Env env, char *text)
{
    if (!text)
        return env.Null();
    auto out = Napi::String::New(env, text);
    api.freeString(text);
    return out;
}

class Connector;
std::set<Connector *> *openConnectors = nullptr; // closed at the environment's teardown

// A reader's listener data: the reader's name and its connector's wake-up.
struct Slot {
    Connector *owner;
    std::string name;
};

class Connector : public Napi::ObjectWrap<Connector> {
public:
    static Napi::Function Define(Napi::Env env)
    {
        return DefineClass(env, "NativeConnector",
                           {InstanceMethod<&Connector::Close>("close"),
                            InstanceMethod<&Connector::Entity>("entity"),
                            InstanceMethod<&Connector::Names>("names"),
                            InstanceMethod<&Connector::Type>("type"),
                            InstanceMethod<&Connector::SetNumber>("setNumber"),
                            InstanceMethod<&Connector::SetBoolean>("setBoolean"),
                            InstanceMethod<&Connector::SetString>("setString"),
                            InstanceMethod<&Connector::SetJSON>("setJSON"),
                            InstanceMethod<&Connector::GetJSON>("getJSON"),
                            InstanceMethod<&Connector::Clear>("clear"),
                            InstanceMethod<&Connector::Dispose>("dispose"),
                            InstanceMethod<&Connector::Write>("write"),
                            InstanceMethod<&Connector::Fetch>("fetch"),
                            InstanceMethod<&Connector::HasData>("hasData"),
                            InstanceMethod<&Connector::Listen>("listen"),
                            InstanceMethod<&Connector::Keep>("keep")});
    }

    // new NativeConnector(configName, configFile | null, onData): throws the library's error.
    explicit Connector(const Napi::CallbackInfo &info) : Napi::ObjectWrap<Connector>(info)
    {
        Napi::Env env = info.Env();
        const std::string name = info[0].As<Napi::String>();
        const bool hasFile = info[1].IsString();
        const std::string file = hasFile ? info[1].As<Napi::String>().Utf8Value() : std::string();
        Capture cap;
        handle_ = api.create(name.c_str(), hasFile ? file.c_str() : nullptr, nullptr);
        if (!handle_) {
            // The lines of a failed creation go with the error; JavaScript words its message.
            auto error = Napi::Error::New(env, "creation failed");
            error.Set("log", logArray(env, cap.lines));
            for (const auto &line : cap.lines)
                if (line.level == kErrorLevel) {
                    error.Set("reason", Napi::String::New(env, reason(line.text)));
                    break;
                }
            error.ThrowAsJavaScriptException();
            return;
        }
        // A connector was made: what was logged on the way is passed on, not taken for a failure.
        auto *shared = env.GetInstanceData<Shared>();
        for (const auto &line : cap.lines)
            shared->warn.Call({Napi::String::New(env, line.text)});
        // Wakes JavaScript once per burst of samples: the callback only marks and queues.
        notify_ = Napi::ThreadSafeFunction::New(env, info[2].As<Napi::Function>(), "quelt-dds data", 0, 1);
        notify_.Unref(env);
        openConnectors->insert(this);
    }

    ~Connector() override { Shutdown(); }

    static void CloseAll()
    {
        const auto open = *openConnectors;
        for (auto *c : open)
            c->Shutdown();
    }

private:
    void *handle_ = nullptr;
    std::vector<std::string> names_; // entity ids -> full names
    std::vector<std::unique_ptr<Slot>> slots_;
    Napi::ThreadSafeFunction notify_;
    std::shared_ptr<std::atomic<bool>> queued_ = std::make_shared<std::atomic<bool>>(false);
    int keep_ = 0;
    bool scripted_ = false;

    static void OnDataAvailable(void *data, void *)
    {
        auto *slot = static_cast<Slot *>(data);
        Connector *self = slot->owner;
        if (self->queued_->exchange(true))
            return;
        // The call may run after the connector is gone (at exit): it holds the flag, not the connector.
        self->notify_.NonBlockingCall([queued = self->queued_](Napi::Env env, Napi::Function callback) {
            queued->store(false);
            if (env == nullptr || callback.IsEmpty())
                return; // torn down
            napi_value ignored;
            if (napi_call_function(env, env.Global(), callback, 0, nullptr, &ignored) == napi_ok)
                return;
            // A 'data' handler that threw: the process's uncaught exception, as for any event.
            // (At teardown JavaScript cannot run and nothing is pending.)
            bool pending = false;
            napi_value error;
            if (napi_is_exception_pending(env, &pending) == napi_ok && pending &&
                napi_get_and_clear_last_exception(env, &error) == napi_ok)
                napi_fatal_exception(env, error);
        });
    }

    void Shutdown()
    {
        if (!handle_)
            return;
        Capture cap; // the lines of a teardown have no caller to go to
        // Once installListener returns, the old callback is neither running nor called again.
        for (const auto &slot : slots_)
            api.installListener(handle_, slot->name.c_str(), nullptr, nullptr);
        api.destroy(handle_);
        handle_ = nullptr;
        notify_.Release();
        openConnectors->erase(this);
    }

    void *Live(Napi::Env env)
    {
        if (!handle_)
            Napi::Error(env, makeError(env, "the connector is closed", {})).ThrowAsJavaScriptException();
        return handle_;
    }

    const char *Name(const Napi::CallbackInfo &info)
    {
        const uint32_t id = info[0].As<Napi::Number>().Uint32Value();
        return id < names_.size() ? names_[id].c_str() : "";
    }

    Napi::Value Close(const Napi::CallbackInfo &info)
    {
        if (handle_) {
            Capture cap;
            Shutdown();
            t_lines = cap.saved;
            settle(info.Env(), cap);
        }
        return info.Env().Undefined();
    }

    // entity(name, isWriter) -> its id, or the library's lines when the connector has no such entity.
    Napi::Value Entity(const Napi::CallbackInfo &info)
    {
        Napi::Env env = info.Env();
        void *c = Live(env);
        if (!c)
            return env.Undefined();
        const std::string name = info[0].As<Napi::String>();
        const bool writer = info[1].As<Napi::Boolean>();
        Capture cap;
        void *entity = writer ? api.getWriter(c, name.c_str()) : api.getReader(c, name.c_str());
        if (!entity)
            return logArray(env, cap.lines);
        for (size_t i = 0; i < names_.size(); ++i)
            if (names_[i] == name)
                return Napi::Number::New(env, static_cast<double>(i));
        names_.push_back(name);
        return Napi::Number::New(env, static_cast<double>(names_.size() - 1));
    }

    Napi::Value Names(const Napi::CallbackInfo &info)
    {
        Napi::Env env = info.Env();
        void *c = Live(env);
        if (!c)
            return env.Undefined();
        Capture cap;
        return takeString(env, api.getEntityNamesJSON(c, info[0].As<Napi::Boolean>() ? 1 : 0));
    }

    Napi::Value Type(const Napi::CallbackInfo &info)
    {
        Napi::Env env = info.Env();
        void *c = Live(env);
        if (!c)
            return env.Undefined();
        Capture cap;
        auto out = takeString(env, api.getTypeJSON(c, Name(info)));
        t_lines = cap.saved;
        return settle(env, cap) ? out : env.Undefined();
    }

    template <typename F>
    Napi::Value Call(const Napi::CallbackInfo &info, F body)
    {
        Napi::Env env = info.Env();
        void *c = Live(env);
        if (!c)
            return env.Undefined();
        Capture cap;
        Napi::Value out = body(env, c);
        t_lines = cap.saved;
        return settle(env, cap) ? out : env.Undefined();
    }

    // setNumber(id, member, number)
    Napi::Value SetNumber(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) {
            const std::string member = info[1].As<Napi::String>();
            api.setNumber(c, Name(info), member.c_str(), info[2].As<Napi::Number>().DoubleValue());
            return env.Undefined();
        });
    }

    Napi::Value SetBoolean(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) {
            const std::string member = info[1].As<Napi::String>();
            api.setBoolean(c, Name(info), member.c_str(), info[2].As<Napi::Boolean>() ? 1 : 0);
            return env.Undefined();
        });
    }

    Napi::Value SetString(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) {
            const std::string member = info[1].As<Napi::String>(), value = info[2].As<Napi::String>();
            api.setString(c, Name(info), member.c_str(), value.c_str());
            return env.Undefined();
        });
    }

    Napi::Value SetJSON(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) {
            const std::string json = info[1].As<Napi::String>();
            api.setJSONInstance(c, Name(info), json.c_str());
            return env.Undefined();
        });
    }

    Napi::Value GetJSON(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) { return takeString(env, api.getJSONInstance(c, Name(info))); });
    }

    Napi::Value Clear(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) {
            api.clear(c, Name(info));
            return env.Undefined();
        });
    }

    // dispose(id): disposes the instance the writer's current key members name. The exported
    // functions have no dispose: a script does it, naming the writer through the context (the
    // first script text given to a connector stays in force, so it names no writer itself).
    Napi::Value Dispose(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) {
            if (api.setStringIntoContext(c, "quelt_node_dispose", Name(info)) != 1)
                return env.Undefined();
            if (!scripted_) {
                api.assertCode(c, "CONTAINER.WRITER[CONTAINER.CONTEXT.quelt_node_dispose]:dispose()", nullptr, -1);
                scripted_ = true;
            }
            const int rc = api.execute(c);
            if (rc != 0 && t_lines->empty())
                t_lines->push_back({kErrorLevel, "dispose failed with code " + std::to_string(rc)});
            return env.Undefined();
        });
    }

    // write(id, paramsJson | undefined)
    Napi::Value Write(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) {
            if (info[1].IsString()) {
                const std::string params = info[1].As<Napi::String>();
                api.write(c, Name(info), params.c_str());
            } else {
                api.write(c, Name(info), nullptr);
            }
            return env.Undefined();
        });
    }

    // fetch(id, take) -> a flat array, six entries a sample: JSON text, valid_data,
    // source_timestamp, reception_timestamp and the two identity texts. One call per take keeps
    // the crossings into JavaScript to one.
    Napi::Value Fetch(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) -> Napi::Value {
            const char *name = Name(info);
            (info[1].As<Napi::Boolean>() ? api.take : api.read)(c, name);
            const double length = api.getSamplesLength(c, name);
            const int count = length > 0 ? static_cast<int>(length) : 0;
            auto out = Napi::Array::New(env, static_cast<size_t>(count) * 6);
            uint32_t k = 0;
            for (int i = 1; i <= count; ++i) {
                out.Set(k++, takeString(env, api.getJSONSample(c, name, i)));
                out.Set(k++, Napi::Boolean::New(env, api.getBooleanFromInfos(c, name, i, "valid_data") == 1));
                out.Set(k++, Napi::Number::New(env, api.getNumberFromInfos(c, name, i, "source_timestamp")));
                out.Set(k++, Napi::Number::New(env, api.getNumberFromInfos(c, name, i, "reception_timestamp")));
                out.Set(k++, takeString(env, api.getStringFromInfos(c, name, i, "sample_identity")));
                out.Set(k++, takeString(env, api.getStringFromInfos(c, name, i, "related_sample_identity")));
            }
            return out;
        });
    }

    // hasData() -> whether a reader has data now (the library's wait, not waiting).
    Napi::Value HasData(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) -> Napi::Value {
            const int rc = api.wait(c, 0);
            if (rc != 0 && rc != 10) {
                Napi::Error(env, makeError(env, "wait failed with code " + std::to_string(rc), {}))
                    .ThrowAsJavaScriptException();
                return env.Undefined();
            }
            return Napi::Boolean::New(env, rc == 0);
        });
    }

    // listen([reader names]): every reader's data-available callback wakes JavaScript.
    Napi::Value Listen(const Napi::CallbackInfo &info)
    {
        return Call(info, [&](Napi::Env env, void *c) {
            auto names = info[0].As<Napi::Array>();
            for (uint32_t i = 0; i < names.Length(); ++i) {
                slots_.push_back(std::make_unique<Slot>(Slot{this, names.Get(i).As<Napi::String>()}));
                api.installListener(c, slots_.back()->name.c_str(), &Connector::OnDataAvailable, slots_.back().get());
            }
            return env.Undefined();
        });
    }

    // keep(true | false): while something waits for data, the wake-up keeps the process alive.
    Napi::Value Keep(const Napi::CallbackInfo &info)
    {
        Napi::Env env = info.Env();
        if (!handle_)
            return env.Undefined();
        const bool more = info[0].As<Napi::Boolean>();
        const int before = keep_;
        keep_ += more ? 1 : (keep_ > 0 ? -1 : 0);
        if (before == 0 && keep_ > 0)
            notify_.Ref(env);
        else if (before > 0 && keep_ == 0)
            notify_.Unref(env);
        return env.Undefined();
    }
};

template <typename T>
bool symbol(void *library, const char *name, T &slot, std::string &missing)
{
    slot = reinterpret_cast<T>(dlsym(library, name));
    if (!slot)
        missing = name;
    return slot != nullptr;
}

// load(libraryPath, luaName, errorClass, warn): throws with the loader's reason.
Napi::Value Load(const Napi::CallbackInfo &info)
{
    Napi::Env env = info.Env();
    auto *shared = env.GetInstanceData<Shared>();
    shared->errorClass = Napi::Persistent(info[2].As<Napi::Function>());
    shared->warn = Napi::Persistent(info[3].As<Napi::Function>());
    if (loaded)
        return env.Undefined();
    const std::string path = info[0].As<Napi::String>(), lua = info[1].As<Napi::String>();
    // The library takes Lua's symbols from the process: Lua first, globally.
    if (!dlopen(lua.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
        Napi::Error::New(env, "quelt-dds needs the Lua 5.2 runtime " + lua + ": " + dlerror()).ThrowAsJavaScriptException();
        return env.Undefined();
    }
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!library) {
        Napi::Error::New(env, dlerror()).ThrowAsJavaScriptException();
        return env.Undefined();
    }
    std::string missing;
    const bool all = symbol(library, "QueltDDSConnector_new", api.create, missing) &&
                     symbol(library, "QueltDDSConnector_delete", api.destroy, missing) &&
                     symbol(library, "QueltDDSConnector_setNumberIntoSamples", api.setNumber, missing) &&
                     symbol(library, "QueltDDSConnector_setBooleanIntoSamples", api.setBoolean, missing) &&
                     symbol(library, "QueltDDSConnector_setStringIntoSamples", api.setString, missing) &&
                     symbol(library, "QueltDDSConnector_clear", api.clear, missing) &&
                     symbol(library, "QueltDDSConnector_getNumberFromInfos", api.getNumberFromInfos, missing) &&
                     symbol(library, "QueltDDSConnector_getBooleanFromInfos", api.getBooleanFromInfos, missing) &&
                     symbol(library, "QueltDDSConnector_getStringFromInfos", api.getStringFromInfos, missing) &&
                     symbol(library, "QueltDDSConnector_getSamplesLength", api.getSamplesLength, missing) &&
                     symbol(library, "QueltDDSConnector_freeString", api.freeString, missing) &&
                     symbol(library, "QueltDDSConnector_write", api.write, missing) &&
                     symbol(library, "QueltDDSConnector_read", api.read, missing) &&
                     symbol(library, "QueltDDSConnector_take", api.take, missing) &&
                     symbol(library, "QueltDDSConnector_setJSONInstance", api.setJSONInstance, missing) &&
                     symbol(library, "QueltDDSConnector_getJSONInstance", api.getJSONInstance, missing) &&
                     symbol(library, "QueltDDSConnector_getJSONSample", api.getJSONSample, missing) &&
                     symbol(library, "QueltDDSConnector_getReader", api.getReader, missing) &&
                     symbol(library, "QueltDDSConnector_getWriter", api.getWriter, missing) &&
                     symbol(library, "QueltDDSConnector_wait", api.wait, missing) &&
                     symbol(library, "QueltDDSConnector_getEntityNamesJSON", api.getEntityNamesJSON, missing) &&
                     symbol(library, "QueltDDSConnector_getTypeJSON", api.getTypeJSON, missing) &&
                     symbol(library, "QueltDDSConnector_getConfigNamesJSON", api.getConfigNamesJSON, missing) &&
                     symbol(library, "QueltDDSConnector_installListener", api.installListener, missing) &&
                     symbol(library, "QueltLuaLog_setSink", api.setSink, missing) &&
                     symbol(library, "QueltDDSConnector_assertCode", api.assertCode, missing) &&
                     symbol(library, "QueltDDSConnector_execute", api.execute, missing) &&
                     symbol(library, "QueltDDSConnector_setStringIntoContext", api.setStringIntoContext, missing);
    if (!all) {
        Napi::Error::New(env, path + " does not export " + missing).ThrowAsJavaScriptException();
        return env.Undefined();
    }
    api.setSink(&sink, nullptr);
    loaded = true;
    return env.Undefined();
}

// configNames(file) -> JSON text or null, logging nothing.
Napi::Value ConfigNames(const Napi::CallbackInfo &info)
{
    Capture quiet;
    const std::string file = info[0].As<Napi::String>();
    return takeString(info.Env(), api.getConfigNamesJSON(file.c_str()));
}

Napi::Object Init(Napi::Env env, Napi::Object exports)
{
    env.SetInstanceData(new Shared());
    if (!openConnectors)
        openConnectors = new std::set<Connector *>();
    // Connectors still open when the environment goes are deleted before it does, and the
    // library's log goes back to stderr for the middleware threads that outlive us.
    env.AddCleanupHook([] {
        Connector::CloseAll();
        if (loaded)
            api.setSink(nullptr, nullptr);
    });
    exports.Set("load", Napi::Function::New<Load>(env, "load"));
    exports.Set("configNames", Napi::Function::New<ConfigNames>(env, "configNames"));
    exports.Set("NativeConnector", Connector::Define(env));
    return exports;
}

} // namespace

NODE_API_MODULE(quelt_dds, Init)
