// What the details views read of a name, from the candidate book alone:
// which candidates and which ending show while the entry is there, marked
// or gone, and how a link the user gave is told.
#include <gtest/gtest.h>

#include "app/CandidateBook.h"

namespace {

ProbeFigures Probe(int ms) {
  ProbeFigures p;
  p.m_nTimeMs = ms;
  p.m_nLength = 1000;
  return p;
}

JobView Job(long long bytes, long long speed) {
  BlockSnapshot b;
  b.m_nFirst = 0;
  b.m_nLast = 999;
  b.m_nBytes = bytes;
  b.m_nSpeed = speed;
  return JobView{{b}, 40};
}

}  // namespace

TEST(CandidateBook, CandidatesShowOnlyWhileTheNameHasAnEntry) {
  CandidateBook book;
  book.Found("song", {"http://h/slow.mp3", "http://h/fast.mp3"});
  book.Probed("song", "http://h/slow.mp3", Probe(300), CandidateVerdict::kUsable);
  book.Probed("song", "http://h/fast.mp3", Probe(20), CandidateVerdict::kUsable);
  book.Probed("other", "http://h/x.mp3", Probe(1), CandidateVerdict::kUsable);  // no list: ignored

  TaskDetails d = book.Details("song", true, false, true, Job(10, 5));
  EXPECT_EQ(d.m_strName, "song");
  EXPECT_TRUE(d.m_bActive);
  ASSERT_EQ(d.m_candidates.size(), 2u);
  EXPECT_EQ(d.m_candidates[0].m_strAddress, "http://h/fast.mp3");  // ranked by time
  ASSERT_EQ(d.m_blocks.size(), 1u);
  EXPECT_EQ(d.m_nJobAnswerMs, 40);
  EXPECT_FALSE(d.m_bEnded);
  EXPECT_EQ(book.Copies(), 1);

  EXPECT_TRUE(book.Details("song", false, false, false, {}).m_candidates.empty());
  EXPECT_TRUE(book.Details("other", true, false, false, {}).m_candidates.empty());
  book.Forget("song");
  EXPECT_TRUE(book.Details("song", true, false, false, {}).m_candidates.empty());
  EXPECT_EQ(book.Copies(), 1);
}

TEST(CandidateBook, AGivenLinkIsToldAsGivenOnceThenAsTheStoredAddress) {
  CandidateBook book;
  book.GiveLink("song", "http://h/mine.mp3");
  book.Chosen("song", "http://h/mine.mp3", ChosenReason::kStoredAddress);
  EXPECT_EQ(book.Details("song", true, false, true, {}).m_eReason, ChosenReason::kGivenLink);
  book.Chosen("song", "http://h/mine.mp3", ChosenReason::kStoredAddress);
  EXPECT_EQ(book.Details("song", true, false, true, {}).m_eReason, ChosenReason::kStoredAddress);

  // Another link taken first uses the given one up: it is not told later.
  book.GiveLink("song", "http://h/mine.mp3");
  book.Chosen("song", "http://h/other.mp3", ChosenReason::kStoredAddress);
  book.Chosen("song", "http://h/mine.mp3", ChosenReason::kStoredAddress);
  EXPECT_EQ(book.Details("song", true, false, true, {}).m_eReason, ChosenReason::kStoredAddress);
  // A search's pick is never renamed.
  book.GiveLink("song", "http://h/mine.mp3");
  book.Chosen("song", "http://h/mine.mp3", ChosenReason::kFastest);
  EXPECT_EQ(book.Details("song", true, false, true, {}).m_eReason, ChosenReason::kFastest);
}

TEST(CandidateBook, AFinishedEndingShowsOnceTheEntryIsGoneWithItsBlocksWhole) {
  CandidateBook book;
  book.Found("song", {"http://h/a.mp3"});
  ProbeFigures p = Probe(10);
  p.m_audio.m_nKbps = 192;
  book.Probed("song", "http://h/a.mp3", p, CandidateVerdict::kUsable);
  book.Chosen("song", "http://h/a.mp3", ChosenReason::kFastest);
  book.Ended("song", true, "/music/song.mp3", Job(10, 5));
  book.Forget("song");  // a finished task leaves the table

  EXPECT_FALSE(book.Details("song", true, false, false, {}).m_bEnded);  // a new entry of the name
  TaskDetails d = book.Details("song", false, false, false, {});
  ASSERT_TRUE(d.m_bEnded);
  EXPECT_TRUE(d.m_bFinished);
  EXPECT_EQ(d.m_strEnding, "/music/song.mp3");
  EXPECT_EQ(d.m_eReason, ChosenReason::kFastest);
  ASSERT_EQ(d.m_candidates.size(), 1u);
  ASSERT_EQ(d.m_blocks.size(), 1u);
  EXPECT_EQ(d.m_blocks[0].m_nBytes, 1000);
  EXPECT_FALSE(d.m_blocks[0].m_nSpeed.has_value());
  EXPECT_EQ(d.m_nJobAnswerMs, 40);
  EXPECT_EQ(book.ChosenAudio("song", false).m_nKbps, 192);

  book.ForgetEnding("song");
  EXPECT_FALSE(book.Details("song", false, false, false, {}).m_bEnded);
  EXPECT_FALSE(book.ChosenAudio("song", false).KnownRate());
}

TEST(CandidateBook, AGivenUpEndingShowsOnlyWhileTheEntryIsMarked) {
  CandidateBook book;
  book.Found("song", {"http://h/a.mp3"});
  book.Ended("song", false, "failed text", Job(300, 9));

  EXPECT_FALSE(book.Details("song", true, false, false, {}).m_bEnded);  // running again
  EXPECT_FALSE(book.Details("song", false, true, false, {}).m_bEnded);  // removed
  TaskDetails d = book.Details("song", true, true, false, {});
  ASSERT_TRUE(d.m_bEnded);
  EXPECT_FALSE(d.m_bFinished);
  EXPECT_EQ(d.m_strEnding, "failed text");
  ASSERT_EQ(d.m_blocks.size(), 1u);
  EXPECT_EQ(d.m_blocks[0].m_nBytes, 300);  // as far as it came
  EXPECT_FALSE(d.m_blocks[0].m_nSpeed.has_value());
  ASSERT_EQ(d.m_candidates.size(), 1u);  // the live list, not the ending's

  // A running job's own blocks come before the ending's.
  d = book.Details("song", true, true, true, Job(500, 7));
  EXPECT_EQ(d.m_blocks[0].m_nBytes, 500);
  EXPECT_EQ(d.m_blocks[0].m_nSpeed.value_or(-1), 7);

  book.Clear();
  EXPECT_FALSE(book.Details("song", true, true, false, {}).m_bEnded);
}

// Reading the chosen link's audio for a redraw copies no list.
TEST(CandidateBook, ChosenAudioIsReadInPlace) {
  CandidateBook book;
  book.Found("song", {"http://h/a.mp3"});
  AudioFacts told;
  told.m_nKbps = 320;
  book.ServerAudio("song", "http://h/a.mp3", told);
  EXPECT_FALSE(book.ChosenAudio("song", true).KnownRate());  // nothing chosen yet
  book.Chosen("song", "http://h/a.mp3", ChosenReason::kNoSpeedCheck);
  EXPECT_EQ(book.ChosenAudio("song", true).m_nKbps, 320);
  EXPECT_FALSE(book.ChosenAudio("song", false).KnownRate());  // no entry, no ending
  EXPECT_EQ(book.Copies(), 0);
}
