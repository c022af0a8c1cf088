// docs/protocol.md held against the helper: every row of its failure tables is sent to a real
// helper and compared with the answer, its key tables are compared with the documents the helper
// writes, and its example client drives a simulated iPhone.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "HelperCore/Accessibility/Accessibility.hpp"
#include "HelperCore/Input/HIDEvent.hpp"
#include "HelperCore/Render/RenderJob.hpp"
#include "Support/SimulatorHome.hpp"
#include "Support/StreamCheck.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "Support/TestClient.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel::e2e {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using testing::waitUntil;
using Row = std::vector<std::string>;

const std::string documentPath = std::string(TAVREL_SOURCE_DIR) + "/docs/protocol.md";

std::string documentText() {
    std::ifstream file(documentPath);
    EXPECT_TRUE(file) << documentPath;
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A cell without its padding and, when it is code, without its backticks.
std::string cellText(std::string cell) {
    const auto first = cell.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    cell = cell.substr(first, cell.find_last_not_of(' ') - first + 1);
    if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`')
        cell = cell.substr(1, cell.size() - 2);
    return cell;
}

// The cells of a table line "| a | b |"; a pipe escaped as \| stays in its cell.
Row cells(const std::string& line) {
    Row row;
    std::string cell;
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '|') {
            cell += '|';
            ++i;
        } else if (line[i] == '|') {
            row.push_back(cellText(cell));
            cell.clear();
        } else {
            cell += line[i];
        }
    }
    return row;
}

// The body rows of every table of the document whose header row is `header`.
std::vector<Row> tableRows(const Row& header) {
    std::istringstream lines(documentText());
    std::vector<Row> rows;
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("|")) {
            inside = false;
        } else if (inside && !line.starts_with("|---")) {
            rows.push_back(cells(line));
            EXPECT_EQ(rows.back().size(), header.size()) << line;
        } else if (cells(line) == header) {
            inside = true;
        }
    }
    return rows;
}

// The names in backticks of the first cell of each row of every "| key | ..." table between
// the heading and the next one.
std::vector<std::set<std::string>> keyTables(const std::string& heading) {
    std::istringstream lines(documentText());
    std::vector<std::set<std::string>> tables;
    bool inSection = false;
    bool inTable = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("#")) {
            inSection = line.substr(line.find(' ') + 1) == heading;
        } else if (!inSection || !line.starts_with("|")) {
            inTable = false;
        } else if (!inTable && cells(line).at(0) == "key") {
            inTable = true;
            tables.emplace_back();
        } else if (inTable && !line.starts_with("|---")) {
            const std::string first = line.substr(1, line.find('|', 1) - 1);
            for (auto at = first.find('`'); at != std::string::npos;) {
                const auto end = first.find('`', at + 1);
                if (end == std::string::npos) break;
                tables.back().insert(first.substr(at + 1, end - at - 1));
                at = first.find('`', end + 1);
            }
        }
    }
    return tables;
}

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

// The comma-separated names between `lead` and `end`, in the document's order.
std::vector<std::string> namesAfter(const std::string& lead, const std::string& end) {
    const std::string text = documentText();
    const auto start = text.find(lead);
    if (start == std::string::npos) return {};
    std::string list = text.substr(start + lead.size());
    list = list.substr(0, list.find(end));
    std::replace(list.begin(), list.end(), '\n', ' ');
    std::vector<std::string> names;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) names.push_back(cellText(item));
    return names;
}

Bytes hexBytes(const std::string& text) {
    Bytes bytes;
    std::istringstream words(text);
    for (std::string word; words >> word;)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> all;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) all.push_back(word);
    return all;
}

// The first element with this identifier, depth first.
std::optional<json> element(const json& elements, const std::string& identifier) {
    for (const auto& item : elements) {
        if (item["identifier"] == identifier) return item;
        if (auto found = element(item["children"], identifier)) return found;
    }
    return std::nullopt;
}

std::optional<json> elementOf(testing::TestClient& client, const std::string& identifier) {
    static std::uint32_t id = 1000;
    const auto answer = client.ask(++id, R"({"op":"accessibility"})", 20s);
    if (answer.final.kind != FrameKind::reply) return std::nullopt;
    return element(json::parse(answer.json())["elements"], identifier);
}

json probe(const std::string& file, const std::vector<std::string>& entries) {
    std::vector<std::string> arguments{"-v", "error", "-count_frames", "-select_streams", "v:0"};
    arguments.insert(arguments.end(), entries.begin(), entries.end());
    arguments.insert(arguments.end(), {"-of", "json", file});
    const auto result = runProgram("ffprobe", arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(result.out, nullptr, false);
}

TEST(ProtocolDocument, RequestAndFrameFailuresAreTheHelpersOwn) {
    const auto requests = tableRows({"request", "status", "message"});
    const auto frames = tableRows({"bytes sent", "logged"});
    // A table whose header drifted would drop out of the check silently.
    ASSERT_GE(requests.size(), 35u);
    ASSERT_GE(frames.size(), 5u);

    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"));
    testing::TestClient client(served.socket());
    std::uint32_t id = 0;
    for (const auto& row : requests) {
        SCOPED_TRACE(row[0]);
        const auto answer = client.ask(++id, row[0], 30s);
        ASSERT_EQ(answer.final.kind, FrameKind::failure) << answer.json();
        EXPECT_TRUE(answer.chunks.empty());
        const auto failure = json::parse(answer.json());
        EXPECT_EQ(failure["message"], row[2]);
        EXPECT_EQ(failure["status"], std::stoi(row[1]));
    }

    for (const auto& row : frames) {
        SCOPED_TRACE(row[0]);
        testing::TestClient bad(served.socket());
        bad.sendRaw(hexBytes(row[0]));
        EXPECT_TRUE(bad.waitForClose(10s));
        const auto line = "[warning] closing a connection that sent what is not frames: " + row[1];
        EXPECT_TRUE(waitUntil([&] {
            return served.process().standardError().find(line + "\n") != std::string::npos;
        })) << served.process().standardError();
    }
    // The helper lives on, and the first connection with it.
    EXPECT_EQ(client.ask(++id, R"({"op":"describe"})").final.kind, FrameKind::reply);
}

TEST(ProtocolDocument, DocumentedKeysAndNamesAreTheHelpersOwn) {
    const auto traits = namesAfter("Trait names, in bit order (bit 0 first): ", ". Bits above");
    EXPECT_TRUE(std::ranges::equal(traits, AXTraits::table)) << ::testing::PrintToString(traits);
    const auto roles = namesAfter("or an actionable role:", ". Elements not kept");
    EXPECT_TRUE(std::ranges::equal(roles, AXDocument::actionableRoles))
        << ::testing::PrintToString(roles);

    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"));
    testing::TestClient client(served.socket());
    const auto answer = [&](std::uint32_t id, const std::string& request) {
        return json::parse(client.ask(id, request, 30s).json());
    };
    // The first table holds what every helper writes; the second the keys written only when
    // they apply, all of which a helper keeping a replay writes.
    const auto hello = keyTables("hello");
    ASSERT_EQ(hello.size(), 2u);
    EXPECT_EQ(hello[0], keysOf(answer(1, R"({"op":"hello"})")));
    {
        ServedDevice replaying(home, home.boot("Second"), "auto", "replay.sock",
                               {"--replay-seconds", "5"});
        testing::TestClient other(replaying.socket());
        auto all = hello[0];
        all.insert(hello[1].begin(), hello[1].end());
        EXPECT_EQ(all, keysOf(json::parse(other.ask(1, R"({"op":"hello"})", 30s).json())));
    }
    const auto describe = keyTables("describe");
    ASSERT_EQ(describe.size(), 1u);
    EXPECT_EQ(describe[0], keysOf(answer(2, R"({"op":"describe"})")));
    const auto failure = keyTables("Failure documents");
    ASSERT_EQ(failure.size(), 1u);
    EXPECT_EQ(failure[0], keysOf(answer(3, "{}")));

    const auto tree = keyTables("accessibility");
    ASSERT_EQ(tree.size(), 2u);
    const auto document = answer(4, R"({"op":"accessibility"})");
    EXPECT_EQ(tree[0], keysOf(document));
    ASSERT_FALSE(document["elements"].empty());
    EXPECT_EQ(tree[1], keysOf(document["elements"][0]));
    EXPECT_EQ(keysOf(document["screen"]),
              (std::set<std::string>{"coordinate_space", "height", "width"}));

    // The event object's keys are those of an event of the second finger, the only kind that
    // writes them all.
    const auto hid = keyTables("hid");
    ASSERT_EQ(hid.size(), 2u);
    EXPECT_EQ(hid[0], std::set<std::string>{"events"});
    EXPECT_EQ(hid[1],
              keysOf(json(HIDEvent{HIDEvent::Kind::touch, HIDEvent::Phase::down, 0, 0, "", 0, 1})));
}

// The JSON of the first code block after `heading`.
json exampleAfter(const std::string& heading) {
    const std::string text = documentText();
    const auto section = text.find(heading);
    const auto start = text.find("```json\n", section);
    if (section == std::string::npos || start == std::string::npos) return json();
    const auto body = start + 8;
    return json::parse(text.substr(body, text.find("\n```", body) - body), nullptr, false);
}

TEST(ProtocolDocument, TwoFingersPinchAsDocumentedAndIndigoRefusesTheSecond) {
    SimulatorHome home;
    const auto udid = home.boot("Phone");
    {
        ServedDevice served(home, udid, "dtuhid", "dtuhid.sock");
        testing::TestClient client(served.socket());
        EXPECT_EQ(elementOf(client, "zoom-label").value_or(json())["label"], "Zoom: 1.0x");
        const auto pinch = exampleAfter("### Two fingers");
        ASSERT_TRUE(pinch.is_object());
        const auto answer = client.ask(1, pinch.dump(), 30s);
        ASSERT_EQ(answer.final.kind, FrameKind::reply) << answer.json();
        EXPECT_EQ(answer.json(), "{}");
        EXPECT_TRUE(waitUntil([&] {
            return elementOf(client, "zoom-label").value_or(json())["label"] == "Zoom: 3.0x";
        })) << elementOf(client, "zoom-label").value_or(json()).dump();
    }

    const auto rows = tableRows({"request through indigo", "status", "message"});
    ASSERT_EQ(rows.size(), 2u);
    ServedDevice served(home, udid, "indigo", "indigo.sock");
    testing::TestClient client(served.socket());
    std::uint32_t id = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        const auto answer = client.ask(++id, row[0], 30s);
        ASSERT_EQ(answer.final.kind, FrameKind::failure) << answer.json();
        const auto failure = json::parse(answer.json());
        EXPECT_EQ(failure["message"], row[2]);
        EXPECT_EQ(failure["status"], std::stoi(row[1]));
    }
    // Nothing of the refused requests went out: a first finger left down on the map would make
    // this tap a move, and it would not count.
    const auto button = elementOf(client, "tap-button");
    ASSERT_TRUE(button);
    const auto& frame = (*button)["frame"];
    const double x = frame["x"].get<double>() + frame["width"].get<double>() / 2;
    const double y = frame["y"].get<double>() + frame["height"].get<double>() / 2;
    const json tap{{"op", "hid"},
                   {"events",
                    {{{"kind", "touch"}, {"phase", "down"}, {"x", x}, {"y", y}},
                     {{"kind", "touch"}, {"phase", "up"}, {"x", x}, {"y", y}}}}};
    ASSERT_EQ(client.ask(++id, tap.dump(), 30s).final.kind, FrameKind::reply);
    EXPECT_TRUE(waitUntil([&] {
        return elementOf(client, "tap-count").value_or(json())["label"] == "Taps: 1";
    })) << elementOf(client, "tap-count").value_or(json()).dump();
}

TEST(ProtocolDocument, AHostThatStopsSendingGetsEveryFinalFrame) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"));
    testing::TestClient client(served.socket());
    client.request(1,
                   R"({"op":"stream","fps":30,"scale":0.25,"key_frame_s":0.2,"bitrate":500000})");
    const auto first = client.readFrame(20s);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->kind, FrameKind::chunk) << std::string(first->json.begin(), first->json.end());
    client.request(2, R"({"op":"screenshot","max_width":100})");
    ASSERT_EQ(::shutdown(client.descriptor(), SHUT_WR), 0);

    const auto shot = client.awaitAnswer(2, 20s);
    EXPECT_EQ(shot.final.kind, FrameKind::reply) << shot.json();
    EXPECT_EQ(jpegSize(shot.final.blob).first, 100);
    const auto stream = client.awaitAnswer(1, 20s);
    EXPECT_EQ(stream.final.kind, FrameKind::reply);
    EXPECT_EQ(stream.json(), "{}");
    for (const auto& chunk : stream.chunks) EXPECT_TRUE(endsWithDelimiter(chunk.blob));
    EXPECT_TRUE(client.waitForClose(10s));
}

TEST(ProtocolDocument, CommandLineRefusalsAreTheHelpersOwn) {
    const auto rows = tableRows({"arguments", "status", "standard error"});
    ASSERT_GE(rows.size(), 20u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        const auto result = runProgram("tavrel-helper", words(row[0]));
        EXPECT_EQ(result.status, std::stoi(row[1]));
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), row[2]);
        EXPECT_EQ(result.out, "");
    }
}

TEST(ProtocolDocument, ExampleClientSaysHelloTakesAScreenshotTapsAndRecords) {
    SimulatorHome home;
    ServedDevice served(home, home.boot("Phone"), "auto", "helper.sock", {"--replay-seconds", "5"});
    testing::TestClient client(served.socket());
    const auto button = elementOf(client, "tap-button");
    ASSERT_TRUE(button);
    const auto& frame = (*button)["frame"];
    const double x = frame["x"].get<double>() + frame["width"].get<double>() / 2;
    const double y = frame["y"].get<double>() + frame["height"].get<double>() / 2;
    EXPECT_EQ(elementOf(client, "tap-count").value_or(json())["label"], "Taps: 0");

    const auto shot = home.file("shot.jpg");
    const auto video = home.file("live.h264");
    const auto replay = home.file("replay.tvrf");
    const auto run =
        runProgram("python3",
                   {std::string(TAVREL_SOURCE_DIR) + "/docs/examples/tavrel_client.py", "--socket",
                    served.socket(), "--screenshot", shot, "--tap", std::to_string(x),
                    std::to_string(y), "--stream", video, "--seconds", "2", "--replay", replay},
                   90s);
    ASSERT_EQ(run.status, 0) << run.err;
    json printed;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) printed.update(json::parse(line));
    EXPECT_EQ(printed["hello"]["wire"], 1);
    EXPECT_EQ(printed["hello"]["screen"]["width_px"], 1179);

    // The screenshot, read by TurboJPEG and by ffprobe.
    const auto jpeg = readBytes(shot);
    EXPECT_EQ(jpegSize(jpeg), std::make_pair(1179, 2556));
    EXPECT_EQ(printed["screenshot"]["bytes"], jpeg.size());
    const auto picture = probe(shot, {"-show_entries", "stream=codec_name,width,height"});
    EXPECT_EQ(picture["streams"][0]["codec_name"], "mjpeg");
    EXPECT_EQ(picture["streams"][0]["width"], 1179);

    // Two seconds of a still screen: the first key frame and idle key frames every second, each
    // counted by the client from its parameter sets and by ffprobe from the pictures.
    const auto stream = printed["stream"];
    const auto probed = probe(
        video, {"-show_entries", "stream=codec_name,width,height,nb_read_frames:frame=key_frame"});
    ASSERT_TRUE(probed.is_object());
    EXPECT_EQ(probed["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(probed["streams"][0]["width"], 590);
    EXPECT_EQ(probed["streams"][0]["height"], 1278);
    EXPECT_EQ(probed["streams"][0]["nb_read_frames"],
              std::to_string(stream["access_units"].get<int>()));
    int keyFrames = 0;
    for (const auto& picture : probed["frames"]) keyFrames += picture["key_frame"].get<int>();
    EXPECT_GE(keyFrames, 2);
    EXPECT_EQ(keyFrames, stream["key_frames"]);

    // The replay holds the tap, and its job renders to a movie ffprobe reads.
    EXPECT_EQ(printed["replay"]["touches"], 1);
    const auto rendered = runProgram("tavrel-helper", {"render", "--job", replay + ".json"}, 120s);
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    const auto movie = probe(replay + ".mp4", {"-show_entries", "stream=codec_name,width,height"});
    EXPECT_EQ(movie["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(movie["streams"][0]["width"], 590);

    // The tap counts in the element tree.
    EXPECT_TRUE(waitUntil([&] {
        const auto count = elementOf(client, "tap-count");
        return count && (*count)["label"] == "Taps: 1";
    })) << elementOf(client, "tap-count").value_or(json()).dump();
}

// The lines of each fenced code block between the heading and the next heading of any level.
std::vector<std::vector<std::string>> fencedBlocks(const std::string& heading) {
    std::istringstream lines(documentText());
    std::vector<std::vector<std::string>> blocks;
    bool inSection = false;
    bool inBlock = false;
    for (std::string line; std::getline(lines, line);) {
        if (!inBlock && line.starts_with("#")) {
            inSection = line.substr(line.find(' ') + 1) == heading;
        } else if (inSection && line.starts_with("```")) {
            inBlock = !inBlock;
            if (inBlock) blocks.emplace_back();
        } else if (inSection && inBlock) {
            blocks.back().push_back(line);
        }
    }
    return blocks;
}

// The bytes of a block drawn as the wire frame is: each line's leading two-digit hex words, up
// to its explanation.
Bytes drawnBytes(const std::vector<std::string>& lines) {
    Bytes bytes;
    for (const auto& line : lines) {
        for (const auto& word : words(line)) {
            if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
                !std::isxdigit(static_cast<unsigned char>(word[1])) ||
                word != std::string{static_cast<char>(std::toupper(word[0])),
                                    static_cast<char>(std::toupper(word[1]))}) {
                break;
            }
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
        }
    }
    return bytes;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The render command run from `folder`, so that the job's relative paths are taken from there.
ProgramResult renderIn(const testing::TemporaryDirectory& folder, const std::string& jobPath) {
    return runProgram("sh",
                      {"-c", "cd \"$1\" && exec \"$2\" render --job \"$3\"", "sh",
                       folder.path().string(), programPath("tavrel-helper"), jobPath},
                      60s);
}

// The page's example job and the worked example's frame file, written into `folder`.
struct RenderExample {
    json job;
    Bytes frameFile;
    std::string report;
};

RenderExample renderExample() {
    RenderExample example;
    const auto jobBlocks = fencedBlocks("The render job");
    EXPECT_EQ(jobBlocks.size(), 2u);
    if (jobBlocks.size() < 2) return example;
    example.job = json::parse(joined(jobBlocks[0]));
    example.report = joined(jobBlocks[1]);
    const auto frameBlocks = fencedBlocks("A worked example");
    EXPECT_EQ(frameBlocks.size(), 1u);
    if (!frameBlocks.empty()) example.frameFile = drawnBytes(frameBlocks[0]);
    return example;
}

TEST(ProtocolDocument, TheExampleJobRendersTheWorkedExampleFrameFile) {
    const RenderExample example = renderExample();
    ASSERT_EQ(example.frameFile.size(), 96u);
    testing::TemporaryDirectory folder;
    writeFile(folder.file("recording.tvrf"),
              std::string(example.frameFile.begin(), example.frameFile.end()));
    writeFile(folder.file("job.json"), example.job.dump());
    const auto result = renderIn(folder, folder.file("job.json"));
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out, example.report);
    EXPECT_EQ(result.err, "");

    // Half a second of a 16 x 16 picture: 15 frames at 30 a second, 5 at 10.
    const auto movie = probe(folder.file("recording.mp4"),
                             {"-show_entries", "stream=codec_name,width,height,nb_read_frames"});
    ASSERT_TRUE(movie.is_object());
    EXPECT_EQ(movie["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(movie["streams"][0]["width"], 16);
    EXPECT_EQ(movie["streams"][0]["nb_read_frames"], "15");
    const auto gif = runProgram("gifsicle", {"--info", folder.file("recording.gif")});
    EXPECT_NE(gif.out.find("logical screen 16x16"), std::string::npos) << gif.out;
    EXPECT_NE(gif.out.find("loop forever"), std::string::npos) << gif.out;

    // The keys of the job and its touches are the page's.
    const RenderJob job = RenderJob::read(example.job.dump());
    const auto jobKeys = keyTables("The render job");
    ASSERT_EQ(jobKeys.size(), 1u);
    EXPECT_EQ(jobKeys[0], keysOf(json(job)));
    const auto touchKeys = keyTables("Recorded touches");
    ASSERT_EQ(touchKeys.size(), 1u);
    ASSERT_FALSE(job.touches.empty());
    EXPECT_EQ(touchKeys[0], keysOf(json(job.touches[0])));

    // On a terminal, standard error shows the progress; the report still goes to standard output.
    const auto shown =
        runProgram("script",
                   {"-qec",
                    "cd '" + folder.path().string() + "' && exec '" + programPath("tavrel-helper") +
                        "' render --job '" + folder.file("job.json") + "' >report.json",
                    "/dev/null"},
                   60s);
    EXPECT_EQ(shown.status, 0) << shown.out << shown.err;
    EXPECT_NE(shown.out.find("\rmp4: 15 of 15 frames\r\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\rgif: 5 of 5 frames\r\n"), std::string::npos) << shown.out;
    std::ifstream report(folder.file("report.json"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(report), {}), example.report);
}

TEST(ProtocolDocument, RenderRefusalsAreTheHelpersOwn) {
    const RenderExample example = renderExample();
    const auto jobs = tableRows({"change to the example job", "error"});
    const auto frameFiles = tableRows({"frame file", "error"});
    const auto jobFiles = tableRows({"job file", "error"});
    ASSERT_GE(jobs.size(), 20u);
    ASSERT_GE(frameFiles.size(), 10u);
    ASSERT_GE(jobFiles.size(), 2u);

    testing::TemporaryDirectory folder;
    const std::string example96(example.frameFile.begin(), example.frameFile.end());
    const std::string jobPath = folder.file("job.json");
    auto expectError = [](const ProgramResult& result, const std::string& error) {
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(result.out, json({{"error", error}}).dump() + "\n");
    };
    for (const auto& row : jobs) {
        SCOPED_TRACE(row[0]);
        writeFile(folder.file("recording.tvrf"), example96);
        json job = example.job;
        job.merge_patch(json::parse(row[0]));
        writeFile(jobPath, job.dump());
        expectError(renderIn(folder, jobPath), row[1]);
    }
    writeFile(jobPath, example.job.dump());
    for (const auto& row : frameFiles) {
        SCOPED_TRACE(row[0]);
        std::string bytes;
        std::istringstream parts(row[0]);
        for (std::string part; std::getline(parts, part, '+');) {
            part = cellText(part);
            if (part == "the worked example") {
                bytes += example96;
            } else {
                const Bytes more = hexBytes(part);
                bytes.append(more.begin(), more.end());
            }
        }
        writeFile(folder.file("recording.tvrf"), bytes);
        expectError(renderIn(folder, jobPath), row[1]);
    }
    for (const auto& row : jobFiles) {
        SCOPED_TRACE(row[0]);
        expectError(runProgram("tavrel-helper", {"render", "--job", row[0]}, 60s), row[1]);
    }
}

}  // namespace
}  // namespace tavrel::e2e
