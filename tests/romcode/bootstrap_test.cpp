// tests/romcode: the DKB bootstrap and the default TIM, on the bytes on the wire and the exact
// diagnostic lines, against the recording fake transport.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "fake_usb.h"
#include "romcode/libromcode_helper.h"
#include "romcode/romcode_protocol.h"
#include "romcode/romcode_tim.h"
#include "util/bytes.h"

namespace
{

using Bytes = std::vector<uint8_t>;
constexpr uint32_t TIM = 0x54494D48, DKB = 0x444B4249;

const char kGreeting[] = "Get CPU response\nVersion: 3201\nDate: 12345678\nProcessor: XYZ 07\n\n";

class Bootstrap : public ::testing::Test
{
  protected:
    void SetUp() override { g_usb = FakeUsb{}; }
    usb_dev_handle *dev = reinterpret_cast<usb_dev_handle *>(0x1);

    // Runs download_dkb and keeps what it printed.
    int run(unsigned char *tim, int tim_size, Bytes &dkb)
    {
        return run_size(tim, tim_size, dkb.data(), static_cast<int>(dkb.size()));
    }
    int run_size(unsigned char *tim, int tim_size, unsigned char *dkb, int dkb_size)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = download_dkb(dev, tim, tim_size, dkb, dkb_size);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return r;
    }
    // The image bytes carried by the data commands of the n-th image (0 = first).
    Bytes sent_image(int n) const
    {
        Bytes out;
        int image = 0;
        for (const FakeTransfer &w : g_usb.writes) {
            if (w.bytes.size() >= 8 && w.bytes[0] == 0x30 && image++ == n)
                break;
            if (image == n && w.bytes.size() >= 8 && w.bytes[0] == 0x22)
                out.insert(out.end(), w.bytes.begin() + 8, w.bytes.end());
        }
        return out;
    }
    std::vector<uint8_t> command_ids() const
    {
        std::vector<uint8_t> ids;
        for (const FakeTransfer &w : g_usb.writes)
            ids.push_back(w.bytes.size() == 4 ? 0xFF : w.bytes[0]); // 0xFF: preamble
        return ids;
    }
    std::string out, err;
};

Bytes dkb_image(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i ^ (i >> 8));
    return b;
}

// The default TIM for an 81920-byte image, written out from the layout table.
Bytes expected_tim_81920()
{
    Bytes t(176, 0);
    const std::pair<int, uint32_t> fields[] = {
        {0, 0x00030102},   {4, 0x54494D48},   {8, 0},
        {12, 0x02212007},  {16, 0xEEEEEEEE},  {20, 0xFFFFFFFF},
        {24, 0xFFFFFFFF},  {28, 0xFFFFFFFF},  {32, 0xFFFFFFFF},
        {36, 0xFFFFFFFF},  {40, 0x4E414E04},  {44, 2},
        {56, 0x54494D48},  {60, 0x444B4249},  {68, 0x5C008000},
        {72, 176},         {116, 0x444B4249}, {120, 0xFFFFFFFF},
        {124, 0x80000000}, {128, 0x5C013000}, {132, 81920},
    };
    for (auto [off, v] : fields)
        put_le32(t.data() + off, v);
    return t;
}

TEST(DefaultTim, ByteForByte)
{
    int size = -1;
    unsigned char *tim = generate_default_tim_for_dkb(nullptr, 81920, 0, &size);
    ASSERT_NE(tim, nullptr);
    ASSERT_EQ(size, 176);
    EXPECT_EQ(Bytes(tim, tim + 176), expected_tim_81920());
    // The image's content and crc_enable change nothing.
    Bytes img = dkb_image(81920);
    unsigned char *tim2 = generate_default_tim_for_dkb(img.data(), 81920, 1, &size);
    ASSERT_NE(tim2, nullptr);
    EXPECT_EQ(Bytes(tim2, tim2 + 176), expected_tim_81920());
    free(tim);
    free(tim2);

    // Records round-trip through their byte form.
    sor_tim_image rec;
    sor_tim_image_get(expected_tim_81920().data() + SOR_DEFAULT_TIM_IMAGE2, &rec);
    EXPECT_EQ(rec.image_size, 81920u);
    EXPECT_EQ(rec.load_addr, 0x5C013000u);
    sor_tim head;
    sor_tim_get(expected_tim_81920().data(), &head);
    EXPECT_EQ(head.boot_flash_sign, 0x4E414E04u);
    EXPECT_EQ(head.no_of_images, 2u);

    EXPECT_EQ(generate_default_tim_for_dkb(nullptr, -1, 0, &size), nullptr);
    EXPECT_EQ(size, 0);
}

TEST_F(Bootstrap, SelfGeneratedTimThenImageThenDisconnect)
{
    Bytes dkb = dkb_image(81920);
    fake_rom({TIM, DKB});
    ASSERT_EQ(run(nullptr, 0, dkb), 0);
    EXPECT_EQ(out, std::string(kGreeting) +
                       "file size of dkb:81920, file size of tim:176 using self-gen tim\n" +
                       kGreeting);
    EXPECT_EQ(err, "");
    EXPECT_EQ(command_ids(), (std::vector<uint8_t>{0xFF, 0x20, 0x26, 0x27, 0x2A, 0x22, 0x30, 0xFF,
                                                   0x20, 0x26, 0x27, 0x2A, 0x22, 0x30, 0x31}));
    EXPECT_EQ(sent_image(0), expected_tim_81920());
    EXPECT_EQ(sent_image(1), dkb);
    // The disconnect is the last thing on the wire and nothing is read after it.
    EXPECT_EQ(g_usb.reads.size(), g_usb.writes.size() - 1);
}

TEST_F(Bootstrap, TimChoice)
{
    Bytes dkb = dkb_image(81920);
    // A TIM buffer with size 0 still means the self-generated TIM.
    Bytes ignored(176, 0xAB);
    fake_rom({TIM, DKB});
    ASSERT_EQ(run(ignored.data(), 0, dkb), 0);
    EXPECT_NE(out.find("file size of dkb:81920, file size of tim:176 using self-gen tim\n"),
              std::string::npos);
    EXPECT_EQ(sent_image(0), expected_tim_81920());

    // An external TIM goes out unchanged, whatever it holds.
    g_usb = FakeUsb{};
    Bytes external(300);
    for (size_t i = 0; i < external.size(); i++)
        external[i] = static_cast<uint8_t>(0xF0 - i);
    Bytes copy = external;
    fake_rom({TIM, DKB});
    ASSERT_EQ(run(external.data(), 300, dkb), 0);
    EXPECT_NE(out.find("file size of dkb:81920, file size of tim:300 using external tim\n"),
              std::string::npos);
    EXPECT_EQ(sent_image(0), copy);
    EXPECT_EQ(external, copy);
}

TEST_F(Bootstrap, RomAskingForTheWrongImageGetsNothing)
{
    Bytes dkb = dkb_image(1000);
    fake_rom({DKB});
    EXPECT_EQ(run(nullptr, 0, dkb), -1);
    EXPECT_EQ(err, "Unexpected identifier in select image: Return: 444B4249 Expected: 54494D48\n"
                   "Error in download tim -1\n");
    EXPECT_EQ(command_ids(), (std::vector<uint8_t>{0xFF, 0x20, 0x26}));
}

TEST_F(Bootstrap, FailureLinesAndCodes)
{
    Bytes dkb = dkb_image(1000);
    struct Case {
        const char *name;
        std::function<bool(const Bytes &)> hook;
        int result;
        std::string err;
    };
    int preambles = 0, selects = 0, versions = 0;
    auto nth = [](int &counter, int n) { return ++counter == n; };
    std::vector<Case> cases = {
        {"bad echo",
         [&](const Bytes &w) {
             if (w.size() != 4)
                 return false;
             g_usb.raw({0x00, 0xD3, 0x02, 0x2C});
             return true;
         },
         -1, "Send PREMBLE error: -2\n"},
        {"version refused",
         [&](const Bytes &w) {
             if (w[0] != 0x20)
                 return false;
             g_usb.answer(0x20, 0x02, Bytes(12));
             return true;
         },
         -1, "Get version error: -7\n"},
        {"tim select silent", [&](const Bytes &w) { return w[0] == 0x26 && nth(selects, 1); }, -1,
         "Select image error: -3\nError in download tim -1\n"},
        {"tim verify refused",
         [&](const Bytes &w) {
             if (w[0] != 0x27)
                 return false;
             g_usb.answer(0x27, 0x6A, {});
             return true;
         },
         -1, "Verify image error: -7\nError in download tim -1\n"},
        {"tim data refused",
         [&](const Bytes &w) {
             if (w[0] != 0x22)
                 return false;
             g_usb.answer(0x22, 0x91, {});
             return true;
         },
         -7, "Error in download tim -7\n"},
        {"second greeting", [&](const Bytes &w) { return w.size() == 4 && nth(preambles, 2); }, -1,
         "Send PREMBLE error: -3\n"},
        {"second version", [&](const Bytes &w) { return w[0] == 0x20 && nth(versions, 2); }, -1,
         "Get version error: -3\n"},
        {"dkb select",
         [&](const Bytes &w) {
             if (w[0] != 0x26 || !nth(selects, 2))
                 return false;
             g_usb.answer(0x26, 0, {0x48, 0x4D, 0x49, 0x54});
             return true;
         },
         -1,
         "Unexpected identifier in select image: Return: 54494D48 Expected: 444B4249\n"
         "Error in download dkb -1\n"},
        {"dkb grant too large",
         [&](const Bytes &w) {
             if (w[0] != 0x2A || get_le32(w.data() + 8) != 1000)
                 return false;
             g_usb.answer(0x2A, 0, {0xE9, 0x03, 0, 0}); // 1001
             return true;
         },
         -6, "Error in download dkb -6\n"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_usb = FakeUsb{};
        preambles = selects = versions = 0;
        fake_rom({TIM, DKB}, c.hook);
        EXPECT_EQ(run(nullptr, 0, dkb), c.result);
        EXPECT_EQ(err, c.err);
        EXPECT_NE(command_ids().back(), 0x31);
    }

    // The disconnect frame cannot be written.
    g_usb = FakeUsb{};
    fake_rom({TIM, DKB});
    g_usb.fail_write_index = 14;
    EXPECT_EQ(run(nullptr, 0, dkb), -4);
    EXPECT_EQ(err, "Error in disconnect\n");
    EXPECT_EQ(command_ids().back(), 0x31);
}

TEST_F(Bootstrap, BadArgumentsSendNothing)
{
    Bytes dkb = dkb_image(16);
    EXPECT_EQ(run_size(nullptr, 0, dkb.data(), -5), -1);
    EXPECT_EQ(run_size(nullptr, 0, nullptr, 16), -1);
    EXPECT_EQ(run_size(dkb.data(), -1, dkb.data(), 16), -1);
    EXPECT_TRUE(g_usb.writes.empty());
    EXPECT_EQ(err, "Invalid image: dkb size 16, tim size -1\n");
}

class TempFile
{
  public:
    explicit TempFile(const Bytes &content)
    {
        char tmpl[] = "/tmp/bw_romcode_XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        if (fd >= 0) {
            if (!content.empty() && write(fd, content.data(), content.size()) < 0)
                path.clear();
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

TEST_F(Bootstrap, FromFiles)
{
    usb_dev_handle *d = dev;
    auto run_files = [&](const char *tim, const char *img) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = download_dkb_file(d, tim, img);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return r;
    };

    TempFile empty({});
    EXPECT_EQ(run_files(nullptr, empty.path.c_str()), -1);
    EXPECT_EQ(err, empty.path + " file size invalid: 0.\nError in memory map file: " + empty.path +
                       "\n");
    EXPECT_TRUE(g_usb.writes.empty());

    EXPECT_EQ(run_files(nullptr, "/nonexistent/dkb.bin"), -1);
    EXPECT_EQ(err, "Cannot open /nonexistent/dkb.bin file\n"
                   "Error in memory map file: /nonexistent/dkb.bin\n");

    Bytes dkb = dkb_image(5000);
    TempFile image(dkb);
    EXPECT_EQ(run_files(empty.path.c_str(), image.path.c_str()), -1);
    EXPECT_EQ(err, empty.path + " file size invalid: 0.\nError in memory map file: " + empty.path +
                       "\n");
    EXPECT_TRUE(g_usb.writes.empty());

    // Both from files, sent unchanged.
    Bytes tim(176);
    for (size_t i = 0; i < tim.size(); i++)
        tim[i] = static_cast<uint8_t>(i);
    TempFile timfile(tim);
    fake_rom({TIM, DKB});
    EXPECT_EQ(run_files(timfile.path.c_str(), image.path.c_str()), 0);
    EXPECT_NE(out.find("file size of dkb:5000, file size of tim:176 using external tim\n"),
              std::string::npos);
    EXPECT_EQ(sent_image(0), tim);
    EXPECT_EQ(sent_image(1), dkb);
}

TEST(Mapping, WholeFileReadOnly)
{
    Bytes content(12345, 0x5A);
    TempFile f(content);
    unsigned char *buf = nullptr;
    int size = 0;
    ASSERT_EQ(memory_map_file_helper(f.path.c_str(), &buf, &size), 0);
    EXPECT_EQ(size, 12345);
    EXPECT_EQ(Bytes(buf, buf + size), content);
    memory_unmap_file_helper(buf, size);

    testing::internal::CaptureStderr();
    EXPECT_EQ(memory_map_file_helper("/tmp", &buf, &size), -1); // a directory has no content
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "/tmp file size invalid: 22.\n");
}

TEST(Placeholders, PrintTheirTextAndFail)
{
    usb_dev_handle *d = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_message(d), 0);
    EXPECT_EQ(otp_view(d), -1);
    EXPECT_EQ(debug_boot(d), -1);
    EXPECT_EQ(enable_jtag(d, "key.bin"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "otp_view TODO\ndebug_boot TODO\nenable_jtag TODO\n");
}

} // namespace
