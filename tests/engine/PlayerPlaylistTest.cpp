// Playlists and single files on the virtual card: sequencing, repeat, shuffle, skipping,
// stopping, pausing, new items and missing files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <thread>

#include "tests/engine/EngineTestSupport.h"

using namespace OrvanePlayer;
using namespace enginetest;

namespace {

const std::vector<int> kTones = {440, 660, 880};

std::vector<std::string> StartedTracks(Recorder& r) {
    std::vector<std::string> out;
    for (const Note& n : r.Of(Kind::TrackStarted)) out.push_back(n.text);
    return out;
}

// Where each drop of the device lands in the recording, and what it discarded. The card
// counts played frames from its last prepare; a drain, drop or under-run ends such a count.
struct Cut {
    size_t at = 0;
    long long discarded = 0;
};

std::vector<Cut> CutsInRecording(const std::string& dir, const std::string& pcm) {
    std::vector<Cut> cuts;
    size_t recorded = 0;
    for (const vcard::Event& e : vcard::ReadEvents(dir, pcm)) {
        if (e.name != "drop" && e.name != "drain" && e.name != "xrun") continue;
        recorded += static_cast<size_t>(e.Field("played", 0));
        if (e.name == "drop") cuts.push_back({recorded, e.Field("discarded", 0)});
    }
    return cuts;
}

// 50 ms windows of [first, last) whose tone is hz.
size_t WindowsOfTone(const vcard::Wav& wav, size_t first, size_t last, int hz) {
    const size_t window = wav.rate / 20;
    size_t n = 0;
    for (size_t at = first; at + window <= last; at += window)
        if (std::fabs(vcard::DominantFrequency(wav, 0, at, window) - hz) < hz * 0.05) ++n;
    return n;
}

}  // namespace

TEST(CPlayerPlaylist, InterruptingCommandsCutTheOldTrackAtTheDevice) {
    // Next, a new item with interrupt and Stop(true) discard what the device still holds
    // of the old track instead of playing it out: after each cut only the new track plays.
    PlayerHarness h("1");
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3"});
    const auto play_a_while = [&h](const std::string& track, size_t n) {
        ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, n, track));
        ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the device is full by now
    };
    h.player->SetItem(h.Item("p.m3u", -1));
    h.player->Play();
    play_a_while("a.mp3", 1);
    h.player->PlayNext();
    play_a_while("b.mp3", 1);
    h.player->SetItem(h.Item("c.mp3", 0));
    h.player->Play();
    play_a_while("c.mp3", 1);
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());
    h.FinishRecording();

    vcard::Wav wav;
    ASSERT_EQ(0, vcard::ReadWav(h.env.WavPath("channel1"), &wav));
    const std::vector<Cut> cuts = CutsInRecording(h.env.Dir(), "channel1");
    ASSERT_EQ(3u, cuts.size()) << "one drop for next, new item and stop";
    const int old_tone[] = {440, 660, 880};
    const int new_tone[] = {660, 880, 0};
    for (size_t i = 0; i < cuts.size(); ++i) {
        EXPECT_GT(cuts[i].discarded, 0) << "cut " << i << " found the device holding audio";
        const size_t end = i + 1 < cuts.size() ? cuts[i + 1].at : wav.Frames();
        ASSERT_LE(cuts[i].at, end);
        EXPECT_GT(WindowsOfTone(wav, cuts[i].at - std::min<size_t>(cuts[i].at, 4410), cuts[i].at, old_tone[i]), 0u)
            << "the old track played up to cut " << i;
        EXPECT_EQ(0u, WindowsOfTone(wav, cuts[i].at, end, old_tone[i])) << "the old track after cut " << i;
        if (new_tone[i] != 0) {
            EXPECT_GT(WindowsOfTone(wav, cuts[i].at, end, new_tone[i]), 2u) << "the new track after cut " << i;
        } else if (end > cuts[i].at) {
            EXPECT_LT(vcard::Rms(wav, 0, cuts[i].at, end - cuts[i].at), 0.01) << "silence after the stop";
        }
    }
}

TEST(CPlayerPlaylist, RepeatOncePlaysTheListTwiceThenIdles) {
    PlayerHarness h;
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"#EXTM3U", "a.mp3", "b.mp3", "c.mp3"});
    h.player->SetItem(h.Item("p.m3u", 1));
    h.player->FadeAndPlay(0, 80);
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_IDLE));
    h.FinishRecording();

    const std::vector<std::string> abc2 = {"a.mp3", "b.mp3", "c.mp3", "a.mp3", "b.mp3", "c.mp3"};
    EXPECT_EQ(abc2, StartedTracks(h.recorder));
    const std::vector<Note> started = h.recorder.Of(Kind::TrackStarted);
    ASSERT_EQ(6u, started.size());
    for (size_t i = 0; i < started.size(); ++i) {
        EXPECT_EQ(i < 3 ? 1 : 0, started[i].info.m_repeat_count) << i;
        EXPECT_EQ(static_cast<int>(i % 3), started[i].info.m_song_id) << i;
        EXPECT_EQ(i % 3 == 2, started[i].flag) << "last track flag " << i;
        EXPECT_EQ("p.m3u", started[i].info.m_playlist_name);
        EXPECT_EQ(PLAYER_STATE_PLAYING, started[i].info.m_player_state);
        EXPECT_EQ(7u, started[i].info.m_context);
    }
    // The tagged track shows its title; its predecessor announces it with the artist.
    EXPECT_EQ("Second Song", started[1].info.m_curr_song_name);
    EXPECT_EQ("Tester", started[1].info.m_artist_name);
    EXPECT_EQ("b.mp3", started[0].info.m_next_music_file);
    EXPECT_EQ("Second Song (Tester)", started[0].info.m_next_song_name);
    EXPECT_EQ("a.mp3", started[0].info.m_curr_song_name);

    EXPECT_EQ(1u, h.recorder.Count(Kind::ItemStarted));
    EXPECT_EQ(1u, h.recorder.Count(Kind::ItemFinished));
    EXPECT_EQ("p.m3u", h.recorder.Of(Kind::ItemFinished)[0].text);
    const std::vector<Note> finished = h.recorder.Of(Kind::TrackFinished);
    ASSERT_EQ(6u, finished.size());
    for (const Note& n : finished) EXPECT_FALSE(n.flag) << n.text << " reached its end";
    EXPECT_EQ((std::vector<int>{440, 660, 880, 440, 660, 880}), h.ToneOrder(kTones));
}

TEST(CPlayerPlaylist, RepeatZeroPlaysOnceAndEndlessRepeatKeepsCycling) {
    PlayerHarness h;
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3", "c.mp3"});
    h.player->SetItem(h.Item("p.m3u", 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    EXPECT_EQ((std::vector<std::string>{"a.mp3", "b.mp3", "c.mp3"}), StartedTracks(h.recorder));

    h.recorder.Clear();
    h.player->SetItem(h.Item("p.m3u", -1));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 7));
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());
    EXPECT_EQ(0u, h.recorder.Count(Kind::ItemFinished));
    // An item is announced once, however often it repeats.
    EXPECT_EQ(1u, h.recorder.Count(Kind::ItemStarted));
    const std::vector<std::string> started = StartedTracks(h.recorder);
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(std::string(1, static_cast<char>('a' + i % 3)) + ".mp3", started[i]);
    for (const Note& n : h.recorder.Of(Kind::TrackStarted)) EXPECT_EQ(-1, n.info.m_repeat_count);
}

TEST(CPlayerPlaylist, SingleFileIsPlayedRepeatCountPlusOneTimes) {
    PlayerHarness h;
    ASSERT_EQ(0, h.Start());
    h.player->SetItem(h.Item("b.mp3", 2));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    EXPECT_EQ((std::vector<std::string>{"b.mp3", "b.mp3", "b.mp3"}), StartedTracks(h.recorder));
    EXPECT_EQ("b.mp3", h.recorder.Of(Kind::ItemFinished)[0].text);
    EXPECT_TRUE(h.recorder.Of(Kind::TrackStarted)[0].flag) << "a single item is its own last track";
}

TEST(CPlayerPlaylist, ShuffleOnPlaysEachTrackOnceAndOffRestoresFileOrder) {
    PlayerHarness h;
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3", "c.mp3"});
    PlaybackItem item = h.Item("p.m3u", 0);
    item.shuffle = 1;
    h.player->SetItem(item);
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    const std::vector<std::string> started = StartedTracks(h.recorder);
    EXPECT_EQ(3u, started.size());
    EXPECT_EQ((std::set<std::string>{"a.mp3", "b.mp3", "c.mp3"}), std::set<std::string>(started.begin(), started.end()));
    EXPECT_TRUE(h.log.Contains("---------- SHUFFLE ON --------"));

    h.recorder.Clear();
    item.shuffle = 0;
    h.player->SetItem(item);
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    EXPECT_EQ((std::vector<std::string>{"a.mp3", "b.mp3", "c.mp3"}), StartedTracks(h.recorder));
}

TEST(CPlayerPlaylist, NextPreviousWrapAroundAndPlaySongId) {
    PlayerHarness h("1");  // real time: the tracks outlast the commands
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3", "c.mp3"});
    h.player->SetItem(h.Item("p.m3u", -1));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1, "a.mp3"));
    h.player->PlayPrevious();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1, "c.mp3"));
    EXPECT_TRUE(h.log.Contains("Playback Item begin passed!"));
    h.player->PlayNext();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 2, "a.mp3"));
    h.player->Play(1);
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1, "b.mp3"));
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());

    EXPECT_EQ((std::vector<std::string>{"a.mp3", "c.mp3", "a.mp3", "b.mp3"}), StartedTracks(h.recorder));
    EXPECT_EQ(1, h.recorder.Of(Kind::TrackStarted)[3].info.m_song_id);
    EXPECT_EQ(0u, h.recorder.Count(Kind::ItemFinished));
    for (const Note& n : h.recorder.Of(Kind::TrackFinished)) EXPECT_TRUE(n.flag) << n.text << " was cut short";
}

TEST(CPlayerPlaylist, StopAtEndStopNowAndPauseResume) {
    PlayerHarness h("1");
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3", "c.mp3"});
    h.player->SetItem(h.Item("p.m3u", 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1, "a.mp3"));

    // Stop(false): a finishes, the player idles, the position has moved on to b.
    h.player->Stop(false);
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackFinished, 1));
    EXPECT_EQ(PLAYER_STATE_IDLE, h.recorder.Of(Kind::StateChanged).back().code);
    EXPECT_FALSE(h.recorder.Of(Kind::TrackFinished)[0].flag);
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1, "b.mp3"));

    // Pause and resume the same track.
    h.player->Pause();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PAUSED));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    EXPECT_EQ("b.mp3", h.recorder.Of(Kind::TrackStarted).back().text);
    EXPECT_EQ(1u, h.recorder.Count(Kind::TrackFinished));

    // Stop(true): at once, b closed partially.
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackFinished, 2));
    EXPECT_EQ(PLAYER_STATE_IDLE, h.recorder.Of(Kind::StateChanged).back().code);
    EXPECT_EQ("b.mp3", h.recorder.Of(Kind::TrackFinished)[1].text);
    EXPECT_TRUE(h.recorder.Of(Kind::TrackFinished)[1].flag);
    EXPECT_EQ(0u, h.recorder.Count(Kind::ItemFinished));
}

TEST(CPlayerPlaylist, PauseAndResumeLoseNoAudio) {
    // A pause leaves the device to play out what it holds; the resume goes on from there.
    PlayerHarness h("1");
    ASSERT_EQ(0, h.Start());
    h.player->SetItem(h.Item("a.mp3", 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    h.player->Pause();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PAUSED));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // longer than a device buffer
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    h.FinishRecording();

    vcard::Wav wav;
    ASSERT_EQ(0, vcard::ReadWav(h.env.WavPath("channel1"), &wav));
    // 1.2 s of tone plus the encoder's padding; a lost device buffer would be 0.7 s.
    EXPECT_NEAR(1.2 * 44100, static_cast<double>(wav.Frames()), 0.06 * 44100);
    EXPECT_TRUE(vcard::FindSilence(wav, 441, 64).size() <= 2) << "a gap inside the track";
    EXPECT_NEAR(440.0, vcard::DominantFrequency(wav, 0, 4410, wav.Frames() - 8820), 5.0);
}

TEST(CPlayerPlaylist, NewItemWithoutInterruptLetsTheTrackFinish) {
    PlayerHarness h("1");
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3"});
    h.WritePlaylist("q.m3u", {"c.mp3"});
    h.player->SetItem(h.Item("p.m3u", 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1, "a.mp3"));
    // The track start is reported while still connecting, where a new item replaces the
    // old one at once: only the playing state lets the track finish first.
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    PlaybackItem next = h.Item("q.m3u", 0);
    next.interrupt = 0;
    next.request_id = 42;
    h.player->SetItem(next);
    h.player->Play();  // ignored while ending
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_ENDING));
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_IDLE));
    ASSERT_EQ(1u, h.recorder.Count(Kind::TrackFinished));
    EXPECT_FALSE(h.recorder.Of(Kind::TrackFinished)[0].flag) << "a played to its end";
    EXPECT_EQ(1u, h.recorder.Count(Kind::TrackStarted));

    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1, "c.mp3"));
    EXPECT_EQ(42, h.recorder.Of(Kind::TrackStarted).back().info.m_request_id);
    EXPECT_EQ("q.m3u", h.recorder.Of(Kind::TrackStarted).back().info.m_playlist_name);
}

TEST(CPlayerPlaylist, MissingFilesPlaylistsAndEmptyItems) {
    PlayerHarness h;
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "gone.mp3", "c.mp3"});
    h.player->SetItem(h.Item("p.m3u", 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    EXPECT_EQ((std::vector<std::string>{"a.mp3", "c.mp3"}), StartedTracks(h.recorder));
    EXPECT_EQ(1u, h.recorder.Count(Kind::ItemMissing, "gone.mp3"));
    ASSERT_EQ(1u, h.recorder.Count(Kind::Error));
    EXPECT_EQ(EPLAYER_OPEN_TRACKFILE, h.recorder.Of(Kind::Error)[0].code);

    // Every file missing: each reported, then the list is given up at the wrap.
    h.recorder.Clear();
    h.WritePlaylist("none.m3u", {"x1.mp3", "x2.mp3"});
    h.player->SetItem(h.Item("none.m3u", 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitFor([](const std::vector<Note>& notes) {
        return std::any_of(notes.begin(), notes.end(), [](const Note& n) {
            return n.kind == Kind::Error && n.code == EPLAYER_ITEM_NOT_PLAYABLE;
        });
    }));
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_IDLE));
    EXPECT_EQ(1u, h.recorder.Count(Kind::ItemMissing, "x1.mp3"));
    EXPECT_EQ(1u, h.recorder.Count(Kind::ItemMissing, "x2.mp3"));
    std::vector<int> codes;
    for (const Note& n : h.recorder.Of(Kind::Error)) codes.push_back(n.code);
    EXPECT_EQ((std::vector<int>{EPLAYER_OPEN_TRACKFILE, EPLAYER_OPEN_TRACKFILE, EPLAYER_ITEM_NOT_PLAYABLE}), codes);
    EXPECT_EQ(0u, h.recorder.Count(Kind::TrackStarted));
    EXPECT_TRUE(h.log.Contains("All Playlist tracks failed to open! Stopping Player."));

    // A playlist that does not exist: reported with its name, the player stays idle.
    h.recorder.Clear();
    h.player->SetItem(h.Item("nolist.m3u", 0));
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemMissing, 1, "nolist.m3u"));
    ASSERT_EQ(1u, h.recorder.Count(Kind::Error));
    EXPECT_EQ(EPLAYER_ITEM_NOT_PLAYABLE, h.recorder.Of(Kind::Error)[0].code);
    EXPECT_EQ("nolist.m3u", h.recorder.Of(Kind::Error)[0].info.m_curr_music_file);

    // An empty item.
    h.recorder.Clear();
    h.player->SetItem(h.Item("", 0));
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemMissing, 1));
    EXPECT_TRUE(h.log.Contains("CPlayer::OpenPlaylist(): Error empty item found."));
    // Play with no tracks: connecting gives up at once with the item error.
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitFor([](const std::vector<Note>& notes) {
        return std::count_if(notes.begin(), notes.end(), [](const Note& n) {
                   return n.kind == Kind::Error && n.code == EPLAYER_ITEM_NOT_PLAYABLE;
               }) >= 2;
    }));
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_IDLE));
    EXPECT_EQ(0u, h.recorder.Count(Kind::TrackStarted));
}
