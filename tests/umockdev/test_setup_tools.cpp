// tests/umockdev: the set-up tools on the emulated bus: --list's survey of the phones present,
// and --learn-ports' terminal session driven by phones plugged into emulated hub ports, whose
// mapping file the station then uses as it is.
#include "learn_ports_terminal.h"
#include "setup/survey.h"
#include "station/station_harness.h"
#include "support/umockdev_bus.h"
#include "usb_libusb.h"

#include <fcntl.h>
#include <unistd.h>

using namespace harness;

namespace
{

using umockbus::Echo;

vphone::PhoneOptions emulated_phone(const std::string &agent_port = "")
{
    vphone::PhoneOptions po = phone_options(agent_port);
    umockbus::Plugger p = umockbus::plugger();
    po.bus.plug = p.plug;
    po.bus.unplug = p.unplug;
    return po;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The file without its comment lines (the one naming the time of writing).
std::string without_comments(const std::string &text)
{
    std::istringstream in(text);
    std::string out, line;
    while (std::getline(in, line))
        if (line.empty() || line[0] != '#')
            out += line + "\n";
    return out;
}

class SetupTools : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(usb_libusb::reinit(), 0);
        mapping = (dir.path / "ports.ini").string();
        output = (dir.path / "learn.out").string();
    }
    void TearDown() override
    {
        if (session.joinable()) {
            type("q");
            session.join();
        }
        if (keys >= 0)
            close(keys);
        umockbus::reset();
    }

    // Starts --learn-ports' terminal session on its own thread, keys through a pipe.
    void start_learning()
    {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        keys = fds[1];
        out = fopen(output.c_str(), "w");
        ASSERT_NE(out, nullptr);
        dkb = read_file(BW_DKB_IMAGE_PATH);
        session = std::thread([this, in = fds[0]] {
            ui::LearnPortsOptions o;
            o.mapping_path = mapping;
            o.in_fd = in;
            o.out = out;
            o.dkb = dkb.data();
            o.dkb_size = static_cast<int>(dkb.size());
            result = ui::run_learn_ports_terminal(o);
            fclose(out);
            close(in);
        });
        // Phones on the bus before the session looked count only once re-plugged.
        ASSERT_TRUE(says("Fixture 1: plug a phone"));
    }
    // One key line, as the engineer types it.
    void type(const std::string &line)
    {
        std::string l = line + "\n";
        ASSERT_EQ(write(keys, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    // Waits for text in the session's output.
    bool says(const std::string &text, int timeout_ms = 15000)
    {
        for (int waited = 0; waited < timeout_ms; waited += 20) {
            if (slurp(output).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "no \"" << text << "\" in:\n" << slurp(output);
        return false;
    }
    int finish()
    {
        type("q");
        session.join();
        return result;
    }

    TempDir dir;
    std::string mapping, output;
    std::vector<uint8_t> dkb;
    std::thread session;
    int keys = -1;
    FILE *out = nullptr;
    int result = -1;
};

TEST_F(SetupTools, ListShowsBootRomAgentAndUnopenablePhone)
{
    std::ofstream(mapping) << "[ports]\nNoOfPorts = 2\n[Port1]\nInterfaceName = 1-1.2\nPortNo = 1\n"
                              "[Port2]\nInterfaceName = 1-1.3\nPortNo = 1\n";
    umockbus::Quirks locked;
    locked.no_access = true;
    ASSERT_EQ(umockbus::plug("1-1.2", 0x8086, 0xd001, std::make_shared<Echo>()), 0);
    ASSERT_EQ(umockbus::plug("1-1.3", 0x1286, 0x8111, std::make_shared<Echo>()), 0);
    ASSERT_EQ(umockbus::plug("1-1.4", 0x1286, 0x8104, std::make_shared<Echo>(), locked), 0);
    // A station user outside the group: file modes apply to this thread even as root.
    ASSERT_EQ(umockbus::drop_permission_override(), 0);

    setup::Survey s;
    for (int i = 0; i < 150 && s.phones.size() < 3; ++i, usleep(20000))
        s = setup::survey_phones(mapping);
    EXPECT_EQ(setup::format_survey(s, mapping),
              "Port mapping: " + mapping +
                  " (2 port entries)\n"
                  "PORT   ID         MODE                    FIXTURE\n"
                  "1-1.2  8086:d001  boot ROM download mode  fixture 1\n"
                  "1-1.3  1286:8111  DKB agent               fixture 1\n"
                  "1-1.4  1286:8104  boot ROM download mode  not mapped  cannot be opened: "
                  "permission denied\n"
                  "Phones the station cannot open are left alone during a shift. Install the udev "
                  "rules\n(60-bramblewick.rules, in the package) and add the user to the group "
                  "bramblewick\n(sudo usermod -aG bramblewick $USER), log in again and re-plug the "
                  "phones.\n");
    // The check opened and closed: nothing is left open, no configuration was changed.
    for (const char *port : {"1-1.2", "1-1.3"}) {
        umockbus::HostView v;
        ASSERT_EQ(umockbus::host_view(port, &v), 0);
        EXPECT_EQ(v.open_files, 0) << port;
        EXPECT_EQ(v.configurations_set, 0) << port;
    }
}

TEST_F(SetupTools, LearnPortsWritesTheMappingTheStationUses)
{
    std::ofstream(mapping) << "[ports]\nNoOfPorts = 1\n[Port1]\nInterfaceName = 9-9\nPortNo = 1\n";
    start_learning();
    // Fixture 1: a phone on 1-1.2, taken as it is.
    auto phone = vphone::plug_phone("1-1.2", emulated_phone());
    ASSERT_TRUE(phone && says("Fixture 1: phone on 1-1.2."));
    type("");
    ASSERT_TRUE(says("Fixture 1 is 1-1.2."));
    phone->unplug();
    // Fixture 2: its agent comes back on another port, found by the agent check.
    phone = vphone::plug_phone("1-1.3", emulated_phone("1-1.5"));
    ASSERT_TRUE(phone && says("Fixture 2: phone on 1-1.3."));
    type("a");
    ASSERT_TRUE(says("Its agent comes back on another port, 1-1.5"));
    type("");
    ASSERT_TRUE(says("Fixture 2 is 1-1.3 and 1-1.5."));
    EXPECT_EQ(phone->agent_starts(), 1);
    phone->unplug();
    // Fixture 3 has no cable; fixture 4 gets the phone on 1-1.4.
    type("s");
    ASSERT_TRUE(says("Fixture 3 skipped."));
    phone = vphone::plug_phone("1-1.4", emulated_phone());
    ASSERT_TRUE(phone && says("Fixture 4: phone on 1-1.4."));
    type("");
    ASSERT_TRUE(says("Fixture 4 is 1-1.4."));
    phone->unplug();
    ASSERT_EQ(finish(), 0) << slurp(output);

    EXPECT_EQ(without_comments(slurp(mapping)),
              "[ports]\nNoOfPorts = 4\n\n[Port1]\nInterfaceName = 1-1.2\nPortNo = 1\n\n"
              "[Port2]\nInterfaceName = 1-1.3\nPortNo = 2\n\n[Port3]\nInterfaceName = 1-1.5\n"
              "PortNo = 2\n\n[Port4]\nInterfaceName = 1-1.4\nPortNo = 4\n");
    // The previous file is kept beside it.
    std::vector<std::string> kept;
    for (const auto &f : std::filesystem::directory_iterator(dir.path))
        if (f.path().filename().string().rfind("ports.ini.bak-", 0) == 0)
            kept.push_back(slurp(f.path().string()));
    EXPECT_EQ(kept, std::vector<std::string>{
                        "[ports]\nNoOfPorts = 1\n[Port1]\nInterfaceName = 9-9\nPortNo = 1\n"});

    // The station reads it unchanged: one row per fixture, in order, with both of fixture 2's
    // names; a phone on fixture 2 is credited to it wherever its agent comes back.
    TempDir jobdir;
    auto images = default_images();
    Job job = make_job(jobdir, images, "[misc]\nlogging = 1\n");
    ASSERT_TRUE(job);
    station_options o;
    o.port_mapping_path = mapping;
    StationRun run(job.get(), o);
    ASSERT_EQ(run.start(), 0);
    EXPECT_EQ(run.station->no_of_mapped_ports(), 4);
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < run.list().GetItemCount(); ++r)
        rows.push_back({run.cell(r, COL_FIXTURE_ID), run.cell(r, COL_INTERFACE_1),
                        run.cell(r, COL_INTERFACE_2)});
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{
                        {"1", "1-1.2", ""}, {"2", "1-1.3", "1-1.5"}, {"4", "1-1.4", ""}}));
    phone = vphone::plug_phone("1-1.3", emulated_phone("1-1.5"));
    ASSERT_TRUE(phone);
    ASSERT_TRUE(run.pump_until([&] { return run.logged() == 1; }, 30000)) << run.log_text();
    EXPECT_EQ(log_lines(run.log_text()), std::vector<std::string>{"2,,T,T,Finished,0"});
}

TEST_F(SetupTools, LearnPortsRefusesAPortAnotherFixtureHas)
{
    start_learning();
    auto phone = vphone::plug_phone("1-1.2", emulated_phone());
    ASSERT_TRUE(phone && says("Fixture 1: phone on 1-1.2."));
    type("");
    ASSERT_TRUE(says("Fixture 1 is 1-1.2."));
    phone->unplug();
    // Out long enough for the session to see the port empty, as a hand moving a phone is.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    // The engineer plugs the next fixture's phone into the same port by mistake.
    phone = vphone::plug_phone("1-1.2", emulated_phone());
    ASSERT_TRUE(phone && says("Port 1-1.2 is already fixture 1: not taken. Plug the phone into "
                              "fixture 2."));
    type(""); // Enter does not take it
    ASSERT_TRUE(says("No phone on fixture 2 yet"));
    ASSERT_EQ(finish(), 0);
    EXPECT_EQ(without_comments(slurp(mapping)),
              "[ports]\nNoOfPorts = 1\n\n[Port1]\nInterfaceName = 1-1.2\nPortNo = 1\n");
}

} // namespace
