// The libavformat source on local media: stream choice, tags, failures, and PCM through
// the real decoder chain.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <iterator>
#include <mpg123.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/error.h>
}

#include "SourceTestSupport.h"
#include "player/decoder/CAudioDecoderChain.h"
#include "player/source/CAudioSource.h"

using sourcetest::LogCapture;
using sourcetest::PacketRecorder;
using sourcetest::PcmCounter;
using sourcetest::TempDir;

namespace {

std::string Media(const std::string& name)
{
    return std::string(QUILLON_TEST_MEDIA_DIR) + "/" + name;
}

std::string OwnMedia(const std::string& name)
{
    return std::string(SOURCE_TEST_MEDIA) + "/" + name;
}

// Reads until the source reports something other than a packet; returns that result.
int ReadToEnd(CAudioSource& source, int* packets = nullptr)
{
    int count = 0;
    int result = 0;
    bool changed = false;
    while ((result = source.ReadAudio(&changed)) >= 0 && count < 100000) {
        ++count;
    }
    if (packets) {
        *packets = count;
    }
    return result;
}

}  // namespace

TEST(CAudioSource, LocalMp3AndM4aOpenWithCodecTypeAndDuration)
{
    PacketRecorder recorder;
    CAudioSource source;
    source.SetOutput(&recorder);
    EXPECT_EQ(-1, source.GetCodecType());

    ASSERT_EQ(0, source.Initialize(Media("tone_440_44100_stereo.mp3"), "tone.mp3"));
    EXPECT_EQ(DECODER_ID_MP3, source.GetCodecType());
    EXPECT_NEAR(2000, source.GetDuration(), 100);
    EXPECT_EQ(std::vector<int>({DECODER_ID_MP3}), recorder.decoder_ids);
    EXPECT_EQ(1, recorder.formats);
    AudioInfo info;
    info.rate = 7;
    EXPECT_EQ(0, source.GetAudioInfo(&info));
    EXPECT_EQ(0, info.rate);
    EXPECT_EQ(0, info.bit_rate);
    EXPECT_EQ("", source.GetPlaylistDigest());
    source.DeInitialize();

    ASSERT_EQ(0, source.Initialize(Media("tone_440_44100_stereo.m4a"), "tone.m4a"));
    EXPECT_EQ(DECODER_ID_AAC, source.GetCodecType());
    EXPECT_NEAR(2000, source.GetDuration(), 100);
    EXPECT_GT(recorder.extradata_size, 0) << "the AudioSpecificConfig reaches the chain";
    EXPECT_NE(nullptr, recorder.format_context);

    int packets = 0;
    EXPECT_EQ(AVERROR_EOF, ReadToEnd(source, &packets));
    EXPECT_GT(packets, 50);
    EXPECT_EQ(static_cast<size_t>(packets), recorder.sizes.size());
    EXPECT_EQ(AVERROR_EOF, source.ReadAudio(nullptr)) << "end of file stays end of file";
    source.DeInitialize();
    EXPECT_EQ(-1, source.ReadAudio(nullptr)) << "closed source";
    EXPECT_EQ(DECODER_ID_AAC, source.GetCodecType()) << "codec type survives DeInitialize";
}

TEST(CAudioSource, TagsAreReadTrimmedAndCleared)
{
    LogCapture log;
    CAudioSource source;
    source.set_player_prefix("P1");
    ASSERT_EQ(0, source.Initialize(OwnMedia("tagged.mp3"), "tagged.mp3"));
    ContentInfo content;
    EXPECT_EQ(0, source.GetContentInfo(content));
    EXPECT_EQ(-1, content.id);
    EXPECT_EQ("Tagged Title", content.title);
    EXPECT_EQ("The Album", content.album);
    EXPECT_EQ("Some Artist", content.artist);
    EXPECT_EQ(0, content.reserved64);
    EXPECT_TRUE(log.Contains("P1 AUDIO SOURCE:  audio source '" + OwnMedia("tagged.mp3") +
                             "', song name 'Tagged Title', album name 'The Album' artist name 'Some Artist'"))
        << log.All();
    source.DeInitialize();
    source.GetContentInfo(content);
    EXPECT_EQ("", content.title);
    EXPECT_EQ("", content.artist);
}

TEST(CAudioSource, AdtsFallbackDependsOnTheItemName)
{
    const std::string adts = Media("tone_440_44100_stereo.aac");
    PacketRecorder recorder;
    CAudioSource source;
    source.SetOutput(&recorder);
    const struct {
        const char* name;
        int codec;
    } cases[] = {{"x.aac", DECODER_ID_AAC_ADTS}, {"x.m4a", DECODER_ID_AAC}, {"x.M4A", DECODER_ID_AAC},
                 {"", DECODER_ID_AAC_ADTS} /* short name: the url decides */};
    for (const auto& item : cases) {
        ASSERT_EQ(0, source.Initialize(adts, item.name)) << item.name;
        EXPECT_EQ(item.codec, source.GetCodecType()) << item.name;
        EXPECT_EQ(item.codec, recorder.decoder_ids.back()) << item.name;
        source.DeInitialize();
    }
}

TEST(CAudioSource, FirstAudioStreamAfterAVideoStreamIsPlayed)
{
    LogCapture log;
    PacketRecorder recorder;
    CAudioSource source;
    source.SetOutput(&recorder);
    ASSERT_EQ(0, source.Initialize(OwnMedia("video_first.mkv"), "clip.mkv"));
    EXPECT_EQ(DECODER_ID_MP3, source.GetCodecType());
    EXPECT_EQ(AVERROR_EOF, ReadToEnd(source));
    EXPECT_FALSE(recorder.sizes.empty());
    EXPECT_TRUE(log.Contains("packet stream index mismatch. packet index 0, while stream index is 1")) << log.All();
    // Only MP3 frames were delivered: every delivery starts with a frame sync word.
    size_t offset = 0;
    for (uint16_t size : recorder.sizes) {
        ASSERT_EQ(0xFF, recorder.bytes[offset]);
        ASSERT_EQ(0xE0, recorder.bytes[offset + 1] & 0xE0);
        offset += size;
    }
}

TEST(CAudioSource, UnplayableLocalItemsFailCleanly)
{
    TempDir dir;
    LogCapture log;
    CAudioSource source;

    EXPECT_EQ(-ENOENT, source.Initialize(dir.file("missing.mp3"), "missing.mp3"));
    EXPECT_TRUE(log.Contains("ERROR :CAudioSource::Initialize(): Error opening normal playback audio source"));
    EXPECT_EQ(-EISDIR, source.Initialize(dir.path(), "folder"));
    EXPECT_EQ(-1, source.Initialize(dir.write("empty.mp3", ""), "empty.mp3"));
    EXPECT_TRUE(log.Contains("Can not guess the audio format from"));
    EXPECT_EQ(-1, source.Initialize(dir.write("notes.mp3", "just some words, no audio at all\n"), "notes.mp3"));
    EXPECT_EQ(-1, source.ReadAudio(nullptr));

    EXPECT_EQ(-EINVAL, source.Initialize(OwnMedia("video_only.mkv"), "video.mkv"));
    EXPECT_TRUE(log.Contains("ERROR :CAudioSource::Initialize(): No audio stream detected in"));
    source.DeInitialize();

    // Re-initialising without DeInitialize after a good open: the old stream was selected.
    ASSERT_EQ(0, source.Initialize(Media("tone_440_44100_stereo.mp3"), "tone.mp3"));
    EXPECT_EQ(-1, source.Initialize(OwnMedia("video_only.mkv"), "video.mkv"));
    EXPECT_TRUE(log.Contains("ERROR :CAudioSource::Initialize(): undefined codec type"));
    source.DeInitialize();
    EXPECT_EQ(0, source.Initialize(Media("tone_440_44100_stereo.mp3"), "tone.mp3")) << "usable again";
}

TEST(CAudioSource, FormatIsFoundBehindALargeTagAsInASmallFile)
{
    // The format is probed on growing parts of the file: an ID3v2 tag (padding standing in
    // for cover art) far larger than the first part still leaves an MP3 file, and a file
    // shorter than the first part is probed on what it holds.
    std::ifstream in(Media("tone_440_44100_stereo.mp3"), std::ios::binary);
    const std::string mp3((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(mp3.size(), 4096u);
    const uint32_t tag = 100000;
    std::string id3 = "ID3";
    id3 += std::string{'\x03', '\x00', '\x00'};
    for (int shift : {21, 14, 7, 0})
        id3 += static_cast<char>((tag >> shift) & 0x7F);  // sync-safe size
    id3 += std::string(tag, '\0');
    TempDir dir;
    PacketRecorder recorder;
    CAudioSource source;
    source.SetOutput(&recorder);
    ASSERT_EQ(0, source.Initialize(dir.write("tagged.mp3", id3 + mp3), "tagged.mp3"));
    EXPECT_EQ(DECODER_ID_MP3, source.GetCodecType());
    EXPECT_NEAR(2000, source.GetDuration(), 100);
    source.DeInitialize();
    ASSERT_EQ(0, source.Initialize(dir.write("short.mp3", mp3.substr(0, 1500)), "short.mp3"));
    EXPECT_EQ(DECODER_ID_MP3, source.GetCodecType());
    source.DeInitialize();
}

TEST(CAudioSource, FilesThatAreNotRegularAreRefusedWithoutWaiting)
{
    TempDir dir;
    LogCapture log;
    const std::string fifo = dir.file("fifo.mp3");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    CAudioSource source;
    // A FIFO without a writer: an open that waits for one would never come back.
    auto opened = std::async(std::launch::async, [&source, &fifo] { return source.Initialize(fifo, "fifo.mp3"); });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the open return
        if (writer >= 0) {
            close(writer);
        }
        opened.wait();
        FAIL() << "opening a FIFO blocked";
    }
    EXPECT_EQ(-EINVAL, opened.get());
    EXPECT_TRUE(log.Contains("ERROR :CAudioSource::Initialize(): Error opening normal playback audio source " + fifo))
        << log.All();
    EXPECT_EQ(-EINVAL, source.Initialize("/dev/null", "null.mp3"));
    EXPECT_EQ(0, source.Initialize(Media("tone_440_44100_stereo.mp3"), "tone.mp3")) << "usable again";
}

TEST(CAudioSource, PacketsReachTheDecoderChainAndPcmComesOut)
{
    ASSERT_EQ(MPG123_OK, mpg123_init());
    const struct {
        const char* file;
        const char* name;
        int rate;
    } items[] = {{"tone_440_44100_stereo.mp3", "a.mp3", 44100},   {"tone_440_44100_stereo.m4a", "a.m4a", 44100},
                 {"tone_440_44100_stereo.aac", "a.aac", 44100},   {"tone_440_48000_stereo.opus", "a.opus", 48000},
                 {"tone_440_44100_stereo.ogg", "a.ogg", 44100},   {"tone_440_44100_stereo.flac", "a.flac", 44100},
                 {"tone_440_48000_stereo.webm", "a.webm", 48000}};
    for (const auto& item : items) {
        CAudioDecoderChain chain;
        chain.CreateChain("T");
        PcmCounter pcm;
        chain.SetDependentOutput(&pcm);
        CAudioSource source;
        source.SetOutput(&chain);
        ASSERT_EQ(0, source.Initialize(Media(item.file), item.name)) << item.file;
        EXPECT_EQ(AVERROR_EOF, ReadToEnd(source)) << item.file;
        EXPECT_EQ(item.rate, pcm.last_format.rate) << item.file;
        EXPECT_EQ(2, pcm.last_format.channels) << item.file;
        EXPECT_NEAR(2 * item.rate, pcm.frames, 4096) << item.file;
        EXPECT_GT(pcm.peak, 10000) << item.file << ": a half-scale tone, not silence";
        source.DeInitialize();
        chain.DestroyDecoders();
    }
}

TEST(CAudioSource, CodecsOfTheLibavDecoderAreChosenAfterMp3AndAac)
{
    LogCapture log;
    PacketRecorder recorder;
    CAudioSource source;
    source.SetOutput(&recorder);
    for (const char* file : {"tone_440_48000_stereo.opus", "tone_440_44100_stereo.ogg", "tone_440_44100_stereo.flac",
                             "tone_440_48000_stereo.webm", "tone_440_44100_stereo.wav"}) {
        ASSERT_EQ(0, source.Initialize(Media(file), file)) << file;
        EXPECT_EQ(DECODER_ID_LIBAV, source.GetCodecType()) << file;
        EXPECT_EQ(DECODER_ID_LIBAV, recorder.decoder_ids.back()) << file;
        EXPECT_EQ("", source.GetRefusedCodec());
        source.DeInitialize();
    }
    EXPECT_TRUE(log.Contains("opus codec type detected for")) << log.All();
    EXPECT_TRUE(log.Contains("flac codec type detected for")) << log.All();
}

TEST(CAudioSource, UndecodableCodecIsRefusedByItsName)
{
    LogCapture log;
    PacketRecorder recorder;
    CAudioSource source;
    source.set_player_prefix("P1");
    source.SetOutput(&recorder);
    const std::string wma = Media("tone_440_44100_stereo.wma");
    EXPECT_EQ(AVERROR_DECODER_NOT_FOUND, source.Initialize(wma, "song.wma"));
    EXPECT_EQ("wmav2 (Windows Media Audio 2)", source.GetRefusedCodec());
    EXPECT_TRUE(log.Contains("P1 AUDIO SOURCE: ERROR :CAudioSource::Initialize(): No decoder for the codec wmav2 "
                             "(Windows Media Audio 2) of " + wma))
        << log.All();
    EXPECT_TRUE(recorder.decoder_ids.empty()) << "no decoder is selected for it";
    source.DeInitialize();
    // A file without audio is no refused codec.
    EXPECT_EQ(-EINVAL, source.Initialize(OwnMedia("video_only.mkv"), "video.mkv"));
    EXPECT_EQ("", source.GetRefusedCodec());
    source.DeInitialize();
}

TEST(CAudioSource, InStreamTitlesOfChainedOggAreReportedOnce)
{
    ASSERT_EQ(MPG123_OK, mpg123_init());
    CAudioDecoderChain chain;
    chain.CreateChain("T");
    PcmCounter pcm;
    chain.SetDependentOutput(&pcm);
    CAudioSource source;
    source.SetOutput(&chain);
    ASSERT_EQ(0, source.Initialize(Media("chained_titles.ogg"), "chained.ogg"));
    ContentInfo content;
    source.GetContentInfo(content);
    EXPECT_EQ("First part", content.title);
    std::vector<std::string> changes;
    bool changed = false;
    int result = 0;
    while ((result = source.ReadAudio(&changed)) >= 0) {
        if (changed) {
            source.GetContentInfo(content);
            changes.push_back(content.title);
        }
    }
    EXPECT_EQ(AVERROR_EOF, result);
    EXPECT_EQ(std::vector<std::string>({"Second part"}), changes);
    // Both parts decode: the second part's headers equal the first's, the codec goes on.
    EXPECT_NEAR(88200, pcm.frames, 4096);
    EXPECT_GT(pcm.peak, 10000);
    source.DeInitialize();
    chain.DestroyDecoders();
}

TEST(CAudioSource, StreamTitleChangesAreReportedOnce)
{
    CAudioSource source;
    EXPECT_TRUE(source.ParseStreamTitle("StreamTitle='Song A';StreamUrl='';"));
    ContentInfo content;
    source.GetContentInfo(content);
    EXPECT_EQ("Song A", content.title);
    EXPECT_FALSE(source.ParseStreamTitle("StreamTitle='Song A';StreamUrl='';"));
    EXPECT_TRUE(source.ParseStreamTitle("StreamTitle='';StreamUrl='';"));
    source.GetContentInfo(content);
    EXPECT_EQ("", content.title);
    EXPECT_FALSE(source.ParseStreamTitle("StreamTitle='';"));
    EXPECT_FALSE(source.ParseStreamTitle("StreamUrl='x';"));
    EXPECT_FALSE(source.ParseStreamTitle("StreamTitle='unterminated"));
    // A field ahead of the title must not end it.
    EXPECT_TRUE(source.ParseStreamTitle("StreamUrl='http://x';StreamTitle='Song B';"));
    source.GetContentInfo(content);
    EXPECT_EQ("Song B", content.title);
    EXPECT_TRUE(source.ParseStreamTitle("StreamTitle='It's';"));
    source.GetContentInfo(content);
    EXPECT_EQ("It's", content.title);
}

TEST(CAudioSource, StreamTitlesReachTheRestOfThePlayerAsUtf8)
{
    CAudioSource source;
    ContentInfo content;
    EXPECT_TRUE(source.ParseStreamTitle("StreamTitle='Caf\xE9 del Mar \x96 \x93Vol. 1\x94';StreamUrl='';"));
    source.GetContentInfo(content);
    EXPECT_EQ("Café del Mar – “Vol. 1”", content.title);
    // The same title sent as UTF-8 afterwards is no change.
    EXPECT_FALSE(source.ParseStreamTitle("StreamTitle='Café del Mar – “Vol. 1”';"));
    EXPECT_TRUE(source.ParseStreamTitle("StreamTitle='Motörhead \xE2\x80';"));
    source.GetContentInfo(content);
    EXPECT_EQ("Motörhead ", content.title);
}
