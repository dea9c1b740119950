// quelt-run's everyday verbs: list the participant configurations of XML files, echo what a reader
// receives as JSON lines, pub JSON samples through a writer, and discover what is on a domain.
// Echo and pub name their reader or writer in a configuration, or build a one-endpoint participant
// from a domain, a topic, a type and the file that defines the type.
#include "quelt_run.h"

#include "DDSConnector.h"
#include "config/xml_config.h"
#include "types/typecode.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int kUsageError = 2;
// After --wait-match: time for the matched readers to learn of the writer too.
constexpr double kSettleSeconds = 0.25;

const char kListHelp[] =
    "usage: quelt-run list --config FILE [--config FILE...]\n"
    "\n"
    "Prints every participant configuration of the XML files (read together, in order), one line\n"
    "per writer and reader: the participant, its domain, the writer's or reader's full name\n"
    "(\"Publisher::Writer\", \"Subscriber::Reader\"), its topic and its type. Nothing is created.\n";

const char kEchoHelp[] =
    "usage: quelt-run echo --config FILE --participant Lib::Participant --reader Sub::Reader [options]\n"
    "       quelt-run echo --domain D --topic T --type TYPE --types FILE.xml|FILE.idl [options]\n"
    "\n"
    "Prints each sample the reader receives as one JSON line on standard output; a line on stderr\n"
    "says how many writers are matched whenever that changes.\n"
    "Without a configuration the reader is best effort, volatile and keeps all samples, so it\n"
    "receives from reliable and best-effort writers, volatile or not; --qos picks a profile instead.\n"
    "\n"
    "  --config FILE          the XML configuration (may be given more than once)\n"
    "  --participant NAME     the participant configuration, \"Library::Participant\"\n"
    "  --reader NAME          the reader's full name, \"Subscriber::Reader\"\n"
    "  --domain D             the domain id (0 to 232)\n"
    "  --topic T              the topic name\n"
    "  --type TYPE            the registered type name, as the types file names it (\"Module::Type\")\n"
    "  --types FILE           the file that defines TYPE: DDS-XML types (.xml) or IDL (.idl)\n"
    "  --qos LIB::PROFILE     the reader's QoS from a profile of --qos-file, or of --types when it\n"
    "                         is XML\n"
    "  --qos-file FILE        the XML file holding the QoS library\n"
    "  --info                 print {\"data\": SAMPLE, \"info\": SAMPLE INFO} instead, also for\n"
    "                         notices without data (a dispose, a writer gone)\n"
    "  --count N              stop after N samples (exit 0)\n"
    "  --timeout S            stop after S seconds: exit 1 when --count samples, or with no\n"
    "                         --count any sample, did not arrive\n"
    "                         without either, run until Ctrl-C or SIGTERM (exit 0)\n"
    "  --log-level LEVEL      what the library logs on stderr: error (default), warning, all\n"
    "\n"
    "example:\n"
    "  quelt-run echo --domain 0 --topic Square --type ShapeType --types examples/shapes/Shapes.xml\n";

const char kPubHelp[] =
    "usage: quelt-run pub --config FILE --participant Lib::Participant --writer Pub::Writer [options] SAMPLE\n"
    "       quelt-run pub --domain D --topic T --type TYPE --types FILE.xml|FILE.idl [options] SAMPLE\n"
    "\n"
    "Writes SAMPLE, a JSON object of the type (members left out keep their defaults), or with\n"
    "SAMPLE '-' one sample per line of standard input. Before the first sample it waits until\n"
    "--wait-match readers matched; before exiting, until every matched reliable reader has\n"
    "acknowledged every sample (best-effort readers, which acknowledge nothing, get 0.25 s after\n"
    "the match and before the exit). A line that is not a valid sample is refused with its number\n"
    "on stderr and the others are written; the exit status is then 1.\n"
    "Without a configuration the writer is reliable, volatile and keeps all samples until they are\n"
    "acknowledged; --qos picks a profile instead.\n"
    "\n"
    "  --config, --participant, --domain, --topic, --type, --types, --qos, --qos-file: as for echo\n"
    "  --writer NAME          the writer's full name, \"Publisher::Writer\"\n"
    "  --count N              write SAMPLE N times (default 1); with '-', at most N lines\n"
    "  --rate HZ              at most HZ samples a second (default: as fast as the writer goes)\n"
    "  --wait-match N         readers to wait for before the first sample (default 1; 0: none)\n"
    "  --timeout S            give up waiting for readers or acknowledgements after S seconds\n"
    "                         (exit 1); default: wait until Ctrl-C\n"
    "  --log-level LEVEL      what the library logs on stderr: error (default), warning, all\n"
    "\n"
    "example:\n"
    "  quelt-run pub --domain 0 --topic Square --type ShapeType --types examples/shapes/Shapes.xml \\\n"
    "                --count 10 --rate 2 '{\"color\": \"RED\", \"x\": 10, \"y\": 20, \"shapesize\": 30}'\n";

const char kDiscoverHelp[] =
    "usage: quelt-run discover --domain D [--seconds S] [--log-level LEVEL]\n"
    "\n"
    "Joins domain D for S seconds (default 2; Ctrl-C ends it sooner), then prints what the DDS\n"
    "built-in discovery showed: each participant (its GUID prefix and name), then each topic with\n"
    "its type name, and each of its writers and readers with reliability, durability and the\n"
    "GUID prefix of its participant. Any DDS implementation's participants are listed.\n";

struct Option {
    const char *name;
    bool takesValue;
};

struct Verb {
    const char *name;
    const char *help;
    std::vector<Option> options;
};

const std::vector<Option> kEndpointOptions = {{"--config", true}, {"--participant", true}, {"--domain", true},
                                              {"--topic", true},  {"--type", true},        {"--types", true},
                                              {"--qos", true},    {"--qos-file", true},    {"--log-level", true}};

std::vector<Option> with(std::vector<Option> base, std::vector<Option> more)
{
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

const std::vector<Verb> &verbs()
{
    static const std::vector<Verb> all = {
        {"list", kListHelp, {{"--config", true}, {"--log-level", true}}},
        {"echo", kEchoHelp,
         with(kEndpointOptions, {{"--reader", true}, {"--info", false}, {"--count", true}, {"--timeout", true}})},
        {"pub", kPubHelp,
         with(kEndpointOptions,
              {{"--writer", true}, {"--count", true}, {"--rate", true}, {"--wait-match", true}, {"--timeout", true}})},
        {"discover", kDiscoverHelp, {{"--domain", true}, {"--seconds", true}, {"--log-level", true}}},
    };
    return all;
}

std::string g_verb;
// Configurations are read from files only: the one quelt-run makes from its options goes to a
// temporary file, removed once the participant is made.
std::string g_temporary;

// One line that says what to fix, then the usage error status.
[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "quelt-run %s: %s (quelt-run %s --help explains every option)\n", g_verb.c_str(), what.c_str(),
                 g_verb.c_str());
    std::exit(kUsageError);
}

struct Args {
    std::map<std::string, std::vector<std::string>> values;
    std::vector<std::string> positional;
    bool has(const char *name) const { return values.count(name) != 0; }
    const char *get(const char *name) const
    {
        auto it = values.find(name);
        return it == values.end() ? nullptr : it->second.back().c_str();
    }
};

Args parseArgs(const Verb &verb, int argc, char **argv)
{
    Args args;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(verb.help, stdout);
            std::exit(0);
        }
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            args.positional.push_back(arg == "--" && i + 1 < argc ? argv[++i] : arg);
            continue;
        }
        const Option *option = nullptr;
        for (const Option &o : verb.options)
            if (arg == o.name)
                option = &o;
        if (!option) {
            std::string known;
            for (const Option &o : verb.options)
                known += (known.empty() ? "" : ", ") + std::string(o.name);
            fail("unknown option '" + arg + "'; " + g_verb + " takes " + known);
        }
        if (!option->takesValue) {
            args.values[arg].push_back("");
            continue;
        }
        if (i + 1 >= argc)
            fail("option " + arg + " needs a value");
        if (args.has(arg.c_str()) && arg != "--config")
            fail("option " + arg + " is given twice");
        args.values[arg].push_back(argv[++i]);
    }
    return args;
}

double number(const Args &args, const char *name, double minimum, bool whole, double fallback)
{
    const char *text = args.get(name);
    if (!text)
        return fallback;
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= minimum) || value > 1e9 ||
        (whole && value != static_cast<long long>(value)))
        fail(std::string(name) + " takes " + (whole ? "a whole number" : "a number") + " of at least " +
             std::to_string(static_cast<long long>(minimum)) + ", not '" + text + "'");
    return value;
}

// ---- signals, time, the library's log ----

volatile std::sig_atomic_t g_stop = 0;

void onStopSignal(int signal)
{
    if (g_stop)
        _exit(128 + signal);
    g_stop = 1;
}

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

DDS_Duration_t duration(double seconds)
{
    if (seconds < 0)
        seconds = 0;
    const auto whole = static_cast<DDS_Long>(seconds);
    return DDS_Duration_t{whole, static_cast<DDS_UnsignedLong>((seconds - whole) * 1e9)};
}

// Sleeps until the monotonic time `until`, or less when a stop signal arrives.
void sleepUntil(double until)
{
    for (double left; !g_stop && (left = until - now()) > 0;) {
        const DDS_Duration_t d = duration(left < 0.05 ? left : 0.05);
        const timespec ts{d.sec, static_cast<long>(d.nanosec)};
        nanosleep(&ts, nullptr);
    }
}

// Lines the library logs on the main thread while `holding` are kept, to be told in a line of
// quelt-run's own; the others go to stderr as the log level says.
struct LogState {
    pthread_t mainThread;
    std::atomic<bool> holding{false};
    bool showWarnings = false;
    std::vector<std::string> held;
};
LogState g_log;

void onLogLine(int level, const char *line, void *)
{
    if (g_log.holding && pthread_equal(pthread_self(), g_log.mainThread)) {
        g_log.held.emplace_back(line);
        return;
    }
    if (level != 2 || g_log.showWarnings)
        std::fputs(line, stderr);
}

// The message of a held line, without the function that logged it and the line end.
std::string message(const std::string &line)
{
    const size_t at = line.find(": ");
    std::string text = at == std::string::npos ? line : line.substr(at + 2);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// The first held line's message (the cause; later ones are its consequences or a stack dump);
// empties them.
std::string takeHeld()
{
    std::string text = g_log.held.empty() ? "" : message(g_log.held.front());
    g_log.held.clear();
    return text;
}

void setUp(const Args &args)
{
    const char *level = args.get("--log-level");
    if (level && std::strcmp(level, "error") != 0 && std::strcmp(level, "warning") != 0 && std::strcmp(level, "all") != 0)
        fail(std::string("--log-level takes error, warning or all, not '") + level + "'");
    g_log.mainThread = pthread_self();
    g_log.showWarnings = level && std::strcmp(level, "error") != 0;
    // Warnings reach the sink, which tells refused samples by them.
    setUpLogAndSignals(level, onLogLine, onStopSignal);
}

// ---- participants ----

std::string xmlEscaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

bool endsWith(const std::string &text, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool readable(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (f)
        std::fclose(f);
    return f != nullptr;
}

// The connector of participant `name` from `files`, read together in order; a wrong start when it
// cannot be made, with the library's reason.
QueltDDSConnector *createConnector(const std::vector<std::string> &files, const std::string &name, const std::string &shownAs)
{
    DDS_DomainParticipantFactory *factory = DDS_DomainParticipantFactory_get_instance();
    DDS_DomainParticipantFactoryQos qos;
    DDS_DomainParticipantFactoryQos_initialize(&qos);
    DDS_StringSeq *seq = &qos.profile.url_profile;
    const auto n = static_cast<DDS_Long>(files.size());
    if (DDS_StringSeq_ensure_length(seq, n, n)) {
        for (DDS_Long i = 0; i < n; ++i)
            *DDS_StringSeq_get_reference(seq, i) = DDS_String_dup(files[i].c_str());
        DDS_DomainParticipantFactory_set_qos(factory, &qos);
    }
    DDS_DomainParticipantFactoryQos_finalize(&qos);
    // Readers wake the waitset of echo only, not the connector's own.
    QueltDDSConnectorOptions options = {0};
    g_log.holding = true;
    QueltDDSConnector *connector = QueltDDSConnector_new(name.c_str(), nullptr, &options);
    g_log.holding = false;
    if (!connector) {
        std::string cause = g_log.held.empty() ? "" : message(g_log.held.front());
        // A line of the temporary file means nothing to the user: the message alone.
        if (!g_temporary.empty() && cause.find(g_temporary + ":") != std::string::npos) {
            const size_t at = cause.find(": ", cause.find(g_temporary) + g_temporary.size());
            cause = at == std::string::npos ? cause : cause.substr(at + 2);
        }
        if (!g_temporary.empty())
            unlink(g_temporary.c_str());
        fail("could not create " + shownAs + (cause.empty() ? "" : ": " + cause));
    }
    for (const std::string &line : g_log.held)
        std::fputs(line.c_str(), stderr);
    g_log.held.clear();
    return connector;
}

// The full names of the connector's writers or readers.
std::vector<std::string> entityNames(QueltDDSConnector *c, bool writers)
{
    std::vector<std::string> names;
    const DDS_Long n = writers ? DDS_DataWriterSeq_get_length(&c->writers) : DDS_DataReaderSeq_get_length(&c->readers);
    for (DDS_Long i = 0; i < n; ++i) {
        void *e = writers ? static_cast<void *>(*DDS_DataWriterSeq_get_reference(&c->writers, i))
                          : static_cast<void *>(*DDS_DataReaderSeq_get_reference(&c->readers, i));
        const char *name = QueltDDSConnector_EntitiesLookupList_lookupEntity(c, e);
        names.emplace_back(name ? name : "?");
    }
    return names;
}

std::string quotedList(const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &n : names)
        out += (out.empty() ? "'" : ", '") + n + "'";
    return out;
}

std::string temporaryFile(const std::string &xml)
{
    const char *dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/quelt-run-XXXXXX.xml";
    const int fd = mkstemps(path.data(), 4);
    if (fd < 0 || write(fd, xml.data(), xml.size()) != static_cast<ssize_t>(xml.size()) || close(fd) != 0)
        fail("cannot write the participant's configuration to " + path + ": " + std::strerror(errno));
    g_temporary = path;
    return path;
}

// A --type the types file lacks is a wrong start that names the types it has. A file that does
// not load is left to the participant's creation, which says why.
void checkTypeExists(const std::string &types, const std::string &absolute, bool idl, const std::string &type)
{
    DDS_TypeLibrary *lib = DDS_TypeLibrary_new();
    g_log.holding = true;
    const std::string include = "<dds><types><include file=\"" + xmlEscaped(absolute) + "\"/></types></dds>";
    const bool loaded = lib && (idl ? DDS_TypeLibrary_load_string(lib, include.c_str(), absolute.c_str())
                                    : DDS_TypeLibrary_load_file(lib, types.c_str())) == DDS_RETCODE_OK;
    g_log.holding = false;
    g_log.held.clear();
    std::vector<std::string> names;
    if (loaded && !DDS_TypeLibrary_find(lib, type.c_str()))
        for (const auto &[name, code] : lib->by_name)
            if (DDS_TypeCode_kind(code) == DDS_TK_STRUCT || DDS_TypeCode_kind(code) == DDS_TK_UNION)
                names.push_back(name);
    const bool missing = loaded && !DDS_TypeLibrary_find(lib, type.c_str());
    DDS_TypeLibrary_delete(lib);
    if (missing)
        fail("no type '" + type + "' in " + types + "; " +
             (names.empty() ? std::string("it defines no struct or union") : "its types are " + quotedList(names)));
}

struct Endpoint {
    QueltDDSConnector *connector = nullptr;
    std::string name;  // the full name of the writer or reader
    DDS_Long index = 0; // its place in the connector's writers or readers
};

// The participant of echo or pub, and its one reader or writer: from a configuration, or built
// from --domain, --topic, --type and --types.
Endpoint openEndpoint(const Args &args, bool writer)
{
    const char *entityOption = writer ? "--writer" : "--reader";
    const bool configured = args.has("--config");
    const char *generated[] = {"--domain", "--topic", "--type", "--types"};
    std::vector<std::string> files;
    std::string participant, shownAs, entity;
    if (configured) {
        for (const char *o : generated)
            if (args.has(o))
                fail(std::string(o) + " is for a participant without --config; with --config, name the " +
                     (writer ? "writer" : "reader") + " by --participant and " + entityOption);
        if (args.has("--qos") || args.has("--qos-file"))
            fail("--qos is for a participant without --config; a configuration's endpoints have their own QoS");
        if (!args.has("--participant") || !args.has(entityOption))
            fail(std::string("with --config, give --participant Library::Participant and ") + entityOption +
                 (writer ? " Publisher::Writer" : " Subscriber::Reader"));
        files = args.values.at("--config");
        for (const std::string &f : files)
            if (!readable(f))
                fail("cannot read the configuration file '" + f + "'");
        participant = args.get("--participant");
        entity = args.get(entityOption);
        shownAs = "'" + participant + "'";
    } else {
        for (const char *o : generated)
            if (!args.has(o))
                fail(std::string("missing ") + o + "; give --domain, --topic, --type and --types, or --config with " +
                     "--participant and " + entityOption);
        if (args.has("--participant") || args.has(entityOption))
            fail(std::string("--participant and ") + entityOption + " name an endpoint of a --config file");
        const int domain = static_cast<int>(number(args, "--domain", 0, true, 0));
        if (domain > 232)
            fail(std::string("--domain takes a domain id from 0 to 232, not '") + args.get("--domain") + "'");
        const std::string types = args.get("--types");
        if (!readable(types))
            fail("cannot read the types file '" + types + "'");
        const bool idl = endsWith(types, ".idl");
        if (!idl && !endsWith(types, ".xml"))
            fail("--types takes an XML types file (.xml) or an IDL file (.idl), not '" + types + "'");
        std::string qosRef;
        if (args.has("--qos")) {
            qosRef = args.get("--qos");
            const char *qosFile = args.get("--qos-file");
            if (!qosFile && idl)
                fail("--qos " + qosRef + " needs --qos-file FILE, the XML file of its QoS library");
            if (qosFile && !readable(qosFile))
                fail(std::string("cannot read the QoS file '") + qosFile + "'");
            if (qosFile && qosFile != types)
                files.push_back(qosFile);
        } else if (args.has("--qos-file")) {
            fail("--qos-file goes with --qos LIB::PROFILE");
        }
        if (!idl)
            files.insert(files.begin(), types);
        const std::string type = xmlEscaped(args.get("--type")), topic = xmlEscaped(args.get("--topic"));
        // An include is read relative to the including file: the IDL file by its absolute path.
        char *resolved = realpath(types.c_str(), nullptr);
        const std::string absolute = resolved ? resolved : types;
        std::free(resolved);
        std::string xml = "<?xml version=\"1.0\"?>\n<dds>\n";
        if (idl)
            xml += "<types><include file=\"" + xmlEscaped(absolute) + "\"/></types>\n";
        const char *kind = writer ? "datawriter_qos" : "datareader_qos";
        std::string qos = "<" + std::string(kind);
        if (!qosRef.empty())
            qos += " base_name=\"" + xmlEscaped(qosRef) + "\"/>";
        else
            qos += std::string("><reliability><kind>") + (writer ? "RELIABLE" : "BEST_EFFORT") +
                   "_RELIABILITY_QOS</kind></reliability><durability><kind>VOLATILE_DURABILITY_QOS</kind>"
                   "</durability><history><kind>KEEP_ALL_HISTORY_QOS</kind></history></" + kind + ">";
        xml += "<domain_library name=\"QueltRunDomains\"><domain name=\"Domain\" domain_id=\"" + std::to_string(domain) +
               "\"><register_type name=\"" + type + "\" type_ref=\"" + type + "\"/><topic name=\"" + topic +
               "\" register_type_ref=\"" + type + "\"/></domain></domain_library>\n" +
               "<domain_participant_library name=\"QueltRun\"><domain_participant name=\"" + g_verb +
               "\" domain_ref=\"QueltRunDomains::Domain\">" +
               (writer ? "<publisher name=\"Pub\"><data_writer name=\"Writer\" topic_ref=\"" + topic + "\">" + qos +
                             "</data_writer></publisher>"
                       : "<subscriber name=\"Sub\"><data_reader name=\"Reader\" topic_ref=\"" + topic + "\">" + qos +
                             "</data_reader></subscriber>") +
               "</domain_participant></domain_participant_library>\n</dds>\n";
        checkTypeExists(types, absolute, idl, args.get("--type"));
        const std::string path = temporaryFile(xml);
        files.push_back(path);
        participant = "QueltRun::" + g_verb;
        entity = writer ? "Pub::Writer" : "Sub::Reader";
        shownAs = "a " + std::string(writer ? "writer" : "reader") + " of '" + args.get("--type") + "' on topic '" +
                  args.get("--topic") + "'";
        Endpoint e;
        e.connector = createConnector(files, participant, shownAs);
        unlink(path.c_str()); // read once, at the creation
        e.name = entity;
        return e;
    }
    Endpoint e;
    e.connector = createConnector(files, participant, shownAs);
    const std::vector<std::string> names = entityNames(e.connector, writer);
    for (; e.index < static_cast<DDS_Long>(names.size()) && names[e.index] != entity; ++e.index) {
    }
    if (e.index == static_cast<DDS_Long>(names.size())) {
        QueltDDSConnector_delete(e.connector);
        fail("no " + std::string(writer ? "writer" : "reader") + " named '" + entity + "' in '" + participant + "'; " +
             (names.empty() ? "it has none" : std::string(writer ? "the writers are " : "the readers are ") + quotedList(names)));
    }
    e.name = entity;
    return e;
}

const DDS_TypeCode *writerType(const Endpoint &e) { return DDS_DynamicData_get_type(e.connector->publicationHolders[e.index].instance); }

std::string memberList(const DDS_TypeCode *type)
{
    std::string out;
    for (DDS_UnsignedLong i = 0; type && i < DDS_TypeCode_member_count(type); ++i)
        out += (i ? ", " : "") + std::string(DDS_TypeCode_member_name(type, i));
    return out;
}

// ---- list ----

int runList(const Args &args)
{
    if (!args.has("--config"))
        fail("missing --config FILE");
    if (!args.positional.empty())
        fail("unexpected argument '" + args.positional.front() + "'");
    const std::vector<std::string> &files = args.values.at("--config");
    for (const std::string &f : files)
        if (!readable(f))
            fail("cannot read the configuration file '" + f + "'");
    std::vector<std::string> names;
    std::string err;
    if (!quelt::mw::participant_config_names(files, names, err))
        fail(err);
    if (names.empty())
        fail("no participant configuration (<domain_participant>) in " + quotedList(files));
    for (const std::string &name : names) {
        quelt::mw::ParticipantPlan plan;
        if (!quelt::mw::build_participant_plan(files, name, plan, err))
            fail(err);
        const std::string head = name + " (domain " + std::to_string(plan.domain_id) + "): ";
        bool any = false;
        auto line = [&](const char *kind, const std::string &group, const std::string &entity, const quelt::mw::TopicPlan *t) {
            std::printf("%s%s %s::%s, topic \"%s\", type %s\n", head.c_str(), kind, (group.empty() ? "NO_NAME_SET" : group).c_str(),
                        (entity.empty() ? "NO_NAME_SET" : entity).c_str(), t->name.c_str(), t->type_name.c_str());
            any = true;
        };
        for (const auto &pub : plan.publishers)
            for (const auto &w : pub.writers)
                line("writer", pub.name, w.name, w.topic);
        for (const auto &sub : plan.subscribers)
            for (const auto &r : sub.readers)
                line("reader", sub.name, r.name, r.topic);
        if (!any)
            std::printf("%sno writers or readers\n", head.c_str());
    }
    return 0;
}

// ---- echo ----

std::string infoJson(const Endpoint &e, int position)
{
    const DDS_SampleInfo &info =
        *DDS_SampleInfoSeq_get_reference(&e.connector->subscriptionHolders[e.index].infoSequence, position - 1);
    const char *state = info.instance_state == DDS_ALIVE_INSTANCE_STATE                ? "ALIVE"
                        : info.instance_state == DDS_NOT_ALIVE_DISPOSED_INSTANCE_STATE ? "NOT_ALIVE_DISPOSED"
                                                                                        : "NOT_ALIVE_NO_WRITERS";
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "{\"valid_data\":%s,\"instance_state\":\"%s\",\"source_timestamp\":%.0f,"
                  "\"reception_timestamp\":%.0f", info.valid_data ? "true" : "false", state,
                  QueltDDSConnector_getNumberFromInfos(e.connector, e.name.c_str(), position, "source_timestamp"),
                  QueltDDSConnector_getNumberFromInfos(e.connector, e.name.c_str(), position, "reception_timestamp"));
    std::string out = numbers;
    for (const char *field : {"sample_identity", "related_sample_identity"}) {
        char *text = QueltDDSConnector_getStringFromInfos(e.connector, e.name.c_str(), position, field);
        out += std::string(",\"") + field + "\":" + (text ? text : "null");
        if (text)
            QueltDDSConnector_freeString(text);
    }
    return out + "}";
}

int runEcho(const Args &args)
{
    const double count = number(args, "--count", 1, true, 0);
    const double timeout = number(args, "--timeout", 0, false, -1);
    const bool withInfo = args.has("--info");
    if (!args.positional.empty())
        fail("unexpected argument '" + args.positional.front() + "'");
    Endpoint e = openEndpoint(args, false);
    DDS_DataReader *reader = *DDS_DataReaderSeq_get_reference(&e.connector->readers, e.index);
    DDS_WaitSet *waitset = DDS_WaitSet_new();
    DDS_StatusCondition *condition = DDS_Entity_get_statuscondition(DDS_DataReader_as_entity(reader));
    DDS_StatusCondition_set_enabled_statuses(condition, DDS_DATA_AVAILABLE_STATUS);
    DDS_WaitSet_attach_condition(waitset, DDS_StatusCondition_as_condition(condition));
    DDS_ConditionSeq active;
    DDS_ConditionSeq_initialize(&active);
    const double deadline = timeout >= 0 ? now() + timeout : 0;
    long long received = 0;
    int matched = 0;
    bool timedOut = false;
    // Told before the samples of a new writer, and whenever the number changes.
    auto tellMatched = [&] {
        DDS_SubscriptionMatchedStatus status{};
        DDS_DataReader_get_subscription_matched_status(reader, &status);
        if (status.current_count != matched) {
            matched = status.current_count;
            std::fprintf(stderr, "quelt-run echo: %d writer%s matched\n", matched, matched == 1 ? "" : "s");
        }
    };
    while (!g_stop && !(count > 0 && received >= count)) {
        tellMatched();
        if (timeout >= 0 && now() >= deadline) {
            timedOut = true;
            break;
        }
        // Short waits: a stop signal and a change of matched writers are seen within 100 ms.
        const double left = timeout >= 0 ? deadline - now() : 0.1;
        const DDS_Duration_t wait = duration(left < 0.1 ? left : 0.1);
        if (DDS_WaitSet_wait(waitset, &active, &wait) != DDS_RETCODE_OK)
            continue;
        tellMatched();
        QueltDDSConnector_take(e.connector, e.name.c_str());
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(e.connector, e.name.c_str()));
        for (int i = 1; i <= n && !(count > 0 && received >= count); ++i) {
            const bool valid = QueltDDSConnector_getBooleanFromInfos(e.connector, e.name.c_str(), i, "valid_data") == 1;
            if (!valid && !withInfo)
                continue;
            char *json = QueltDDSConnector_getJSONSample(e.connector, e.name.c_str(), i);
            if (withInfo)
                std::printf("{\"data\":%s,\"info\":%s}\n", json ? json : "null", infoJson(e, i).c_str());
            else
                std::printf("%s\n", json ? json : "null");
            if (json)
                QueltDDSConnector_freeString(json);
            received += valid;
        }
        std::fflush(stdout);
    }
    DDS_WaitSet_detach_condition(waitset, DDS_StatusCondition_as_condition(condition));
    DDS_WaitSet_delete(waitset);
    DDS_ConditionSeq_finalize(&active);
    QueltDDSConnector_delete(e.connector);
    if (timedOut && (count > 0 ? received < count : received == 0)) {
        std::fprintf(stderr, "quelt-run echo: %lld%s samples in %g s (--timeout)\n", received,
                     count > 0 ? (" of " + std::to_string(static_cast<long long>(count))).c_str() : "", timeout);
        return 1;
    }
    return 0;
}

// ---- pub ----

// Sets the writer's instance to exactly `json` (other members at their defaults); the library's
// complaints when it is not a valid sample of the type, else "".
std::string setSample(const Endpoint &e, const std::string &json)
{
    g_log.holding = true;
    QueltDDSConnector_clear(e.connector, e.name.c_str());
    QueltDDSConnector_setJSONInstance(e.connector, e.name.c_str(), json.c_str());
    g_log.holding = false;
    std::string complaint = takeHeld();
    // A member the type lacks shows as a failed look-up of its kind: name those it has.
    if (complaint.find("get kind failed for") != std::string::npos)
        complaint = "no member" + complaint.substr(complaint.find(" for ") + 4) + " in " +
                    DDS_TypeCode_name(writerType(e)) + ", whose members are " + memberList(writerType(e));
    return complaint;
}

// Waits until `ready` holds, a stop signal or the timeout (negative: none); whether it holds.
template <typename Ready>
bool waitFor(Ready ready, double timeout)
{
    const double deadline = now() + timeout;
    while (!ready()) {
        if (g_stop || (timeout >= 0 && now() >= deadline))
            return false;
        sleepUntil(now() + 0.01);
    }
    return true;
}

int runPub(const Args &args)
{
    const double count = number(args, "--count", 1, true, -1);
    const double rate = number(args, "--rate", 0, false, 0);
    const int waitMatch = static_cast<int>(number(args, "--wait-match", 0, true, 1));
    const double timeout = number(args, "--timeout", 0, false, -1);
    if (args.positional.size() != 1)
        fail(args.positional.empty() ? "missing SAMPLE: a JSON object, or '-' for one per line of standard input"
                                     : "one SAMPLE only, not also '" + args.positional[1] + "'");
    const std::string sample = args.positional.front();
    const bool fromStdin = sample == "-";
    Endpoint e = openEndpoint(args, true);
    DDS_DataWriter *writer = *DDS_DataWriterSeq_get_reference(&e.connector->writers, e.index);
    const DDS_TypeCode *type = writerType(e);
    if (!fromStdin) {
        const std::string complaint = setSample(e, sample);
        if (!complaint.empty()) {
            QueltDDSConnector_delete(e.connector);
            fail("SAMPLE is not a valid " + std::string(DDS_TypeCode_name(type)) + ": " + complaint);
        }
    }
    int status = 0;
    auto matched = [&] {
        DDS_PublicationMatchedStatus s{};
        DDS_DataWriter_get_publication_matched_status(writer, &s);
        return s.current_count;
    };
    if (waitMatch > 0 && !waitFor([&] { return matched() >= waitMatch; }, timeout) && !g_stop) {
        std::fprintf(stderr, "quelt-run pub: %d of %d readers matched after %g s (--timeout)\n", matched(), waitMatch, timeout);
        status = 1;
    } else if (waitMatch > 0) {
        // The readers learn of the writer in the same exchange, but not always as soon as the writer
        // learns of them, and a best-effort reader drops samples of a writer it does not know yet
        // (a reliable one has them sent again): give them a moment.
        sleepUntil(now() + kSettleSeconds);
    }
    long long written = 0, refused = 0, lineNumber = 0;
    const double period = rate > 0 ? 1.0 / rate : 0;
    double next = now();
    std::string line;
    while (status == 0 && !g_stop && !(count > 0 ? written + refused >= count : !fromStdin && written + refused >= 1)) {
        if (fromStdin) {
            line.clear();
            int ch;
            while ((ch = std::getchar()) != EOF && ch != '\n')
                line += static_cast<char>(ch);
            if (ch == EOF && line.empty())
                break; // end of input, or a stop signal
            ++lineNumber;
            if (line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            const std::string complaint = setSample(e, line);
            if (!complaint.empty()) {
                std::fprintf(stderr, "quelt-run pub: line %lld refused: %s\n", lineNumber, complaint.c_str());
                ++refused;
                continue;
            }
        }
        sleepUntil(next);
        if (g_stop)
            break;
        g_log.holding = true;
        QueltDDSConnector_write(e.connector, e.name.c_str(), nullptr);
        g_log.holding = false;
        const std::string failure = takeHeld();
        if (!failure.empty()) {
            std::fprintf(stderr, "quelt-run pub: %s%s not written: %s\n", fromStdin ? "line " : "sample",
                         fromStdin ? std::to_string(lineNumber).c_str() : "", failure.c_str());
            ++refused;
        } else {
            ++written;
        }
        next = (next > now() - period ? next : now()) + period;
    }
    // Reliable readers acknowledge what they received; a stop signal ends the wait too.
    if (status == 0 && written > 0) {
        const double deadline = now() + timeout;
        DDS_ReturnCode_t acked = DDS_RETCODE_TIMEOUT;
        while (!g_stop && acked != DDS_RETCODE_OK && (timeout < 0 || now() < deadline)) {
            const double left = timeout < 0 ? 0.1 : deadline - now();
            const DDS_Duration_t wait = duration(left < 0.1 ? left : 0.1);
            acked = DDS_DataWriter_wait_for_acknowledgments(writer, &wait);
        }
        if (acked != DDS_RETCODE_OK && !g_stop) {
            std::fprintf(stderr, "quelt-run pub: not every sample was acknowledged within %g s (--timeout)\n", timeout);
            status = 1;
        }
    }
    // Best-effort readers acknowledge nothing; over shared memory they read a sample from the
    // writer's segment, which goes with the writer: let them read the last one first.
    if (written > 0)
        sleepUntil(now() + kSettleSeconds);
    QueltDDSConnector_delete(e.connector);
    return status != 0 ? status : refused > 0 ? 1 : 0;
}

// ---- discover ----

std::string prefixOf(const DDS_GUID_t &guid)
{
    char text[32];
    const unsigned char *v = guid.value;
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x.%02x%02x%02x%02x.%02x%02x%02x%02x", v[0], v[1], v[2], v[3], v[4], v[5],
                  v[6], v[7], v[8], v[9], v[10], v[11]);
    return text;
}

void collect(void *data, const DDS_DiscoveredEntity *entity)
{
    static_cast<std::vector<DDS_DiscoveredEntity> *>(data)->push_back(*entity);
}

int runDiscover(const Args &args)
{
    if (!args.has("--domain"))
        fail("missing --domain D");
    if (!args.positional.empty())
        fail("unexpected argument '" + args.positional.front() + "'");
    const int domain = static_cast<int>(number(args, "--domain", 0, true, 0));
    if (domain > 232)
        fail(std::string("--domain takes a domain id from 0 to 232, not '") + args.get("--domain") + "'");
    const double seconds = number(args, "--seconds", 0, false, 2);
    const std::string xml = "<?xml version=\"1.0\"?>\n<dds><domain_library name=\"QueltRunDomains\"><domain name=\"Domain\" "
                            "domain_id=\"" + std::to_string(domain) + "\"/></domain_library><domain_participant_library "
                            "name=\"QueltRun\"><domain_participant name=\"discover\" domain_ref=\"QueltRunDomains::Domain\"/>"
                            "</domain_participant_library></dds>\n";
    const std::string path = temporaryFile(xml);
    QueltDDSConnector *c = createConnector({path}, "QueltRun::discover", "a participant on domain " + std::to_string(domain));
    unlink(path.c_str());
    sleepUntil(now() + seconds);
    std::vector<DDS_DiscoveredEntity> found;
    g_log.holding = true;
    const DDS_ReturnCode_t rc = DDS_DomainParticipant_get_discovered_entities(c->participant, collect, &found);
    g_log.holding = false;
    const std::string why = takeHeld();
    QueltDDSConnector_delete(c);
    if (rc != DDS_RETCODE_OK) {
        std::fprintf(stderr, "quelt-run discover: %s\n", why.c_str());
        return 1;
    }
    // Topics by name and type name; a topic two types use shows twice, which is worth seeing.
    std::map<std::pair<std::string, std::string>, std::vector<const DDS_DiscoveredEntity *>> topics;
    std::printf("domain %d: ", domain);
    long long participants = 0;
    for (const DDS_DiscoveredEntity &e : found)
        participants += e.kind == DDS_DISCOVERED_PARTICIPANT;
    std::printf("%lld participant%s\n", participants, participants == 1 ? "" : "s");
    for (const DDS_DiscoveredEntity &e : found) {
        if (e.kind == DDS_DISCOVERED_PARTICIPANT)
            std::printf("participant %s \"%s\"\n", prefixOf(e.guid).c_str(), e.participant_name);
        else
            topics[{e.topic_name, e.type_name}].push_back(&e);
    }
    for (const auto &[topic, endpoints] : topics) {
        std::printf("topic \"%s\" type \"%s\"\n", topic.first.c_str(), topic.second.c_str());
        for (const DDS_DiscoveredEntity *e : endpoints) {
            const char *durability = e->durability == DDS_TRANSIENT_LOCAL_DURABILITY_QOS ? "TRANSIENT_LOCAL"
                                     : e->durability == DDS_TRANSIENT_DURABILITY_QOS     ? "TRANSIENT"
                                     : e->durability == DDS_PERSISTENT_DURABILITY_QOS    ? "PERSISTENT"
                                                                                         : "VOLATILE";
            std::printf("  %s %s %s participant %s\n", e->kind == DDS_DISCOVERED_WRITER ? "writer" : "reader",
                        e->reliability == DDS_RELIABLE_RELIABILITY_QOS ? "RELIABLE" : "BEST_EFFORT", durability,
                        prefixOf(e->participant_guid).c_str());
        }
    }
    return 0;
}

} // namespace

bool isQueltRunVerb(const char *word)
{
    for (const Verb &v : verbs())
        if (std::strcmp(word, v.name) == 0)
            return true;
    return false;
}

int runQueltRunVerb(int argc, char **argv)
{
    g_verb = argv[1];
    const Verb *verb = nullptr;
    for (const Verb &v : verbs())
        if (g_verb == v.name)
            verb = &v;
    const Args args = parseArgs(*verb, argc, argv);
    setUp(args);
    int status = 0;
    if (g_verb == "list")
        status = runList(args);
    else if (g_verb == "echo")
        status = runEcho(args);
    else if (g_verb == "pub")
        status = runPub(args);
    else
        status = runDiscover(args);
    std::fflush(stdout);
    QueltLuaLog_setSink(nullptr, nullptr);
    return status;
}
