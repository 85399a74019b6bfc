// The candidate picker on its own: what a search leaves, what probes and
// failed downloads change, and which link each rule picks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "task/CandidatePicker.h"

namespace {

constexpr int kFast = 100;
constexpr int kNever = 100000;

std::vector<std::string> Links(int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back("http://h/" + std::to_string(i) + ".mp3");
  return out;
}

// Probes links 0..times.size()-1 with these times, as a pass that ran to k.
CCandidatePicker Probed(const std::vector<int>& times, int count, int lastProbed) {
  CCandidatePicker p;
  p.Reset(Links(count));
  for (size_t i = 0; i < times.size(); ++i) p.SetProbed(static_cast<int>(i), times[i], 0);
  p.SetLastProbed(lastProbed);
  return p;
}

TEST(CandidatePickerTest, ASearchKeepsThirtyLinksInOrderAndNothingProbed) {
  CCandidatePicker p;
  EXPECT_EQ(p.Count(), -1);  // no search yet
  std::vector<AudioFacts> audio(2);
  audio[1].m_nKbps = 320;
  p.Reset(Links(35), audio);
  EXPECT_EQ(p.Count(), CCandidatePicker::kMaxCandidates);
  EXPECT_EQ(p.Link(29), "http://h/29.mp3");
  EXPECT_EQ(p.Links().size(), 30u);
  EXPECT_EQ(p.ServerAudio(1).m_nKbps, 320);
  EXPECT_FALSE(p.ServerAudio(2).KnownRate());  // the answer said nothing of it
  EXPECT_EQ(p.LastProbed(), -1);
  EXPECT_FALSE(p.AnyTime());
  for (int i = 0; i < p.Count(); ++i) EXPECT_EQ(p.Time(i), -1);
  // Outside the list: nothing, never a stray read.
  EXPECT_EQ(p.Link(30), "");
  EXPECT_EQ(p.Link(-1), "");
  EXPECT_EQ(p.Time(30), -1);
  p.SetProbed(30, 5, 128);  // ignored
  EXPECT_FALSE(p.AnyTime());

  p.SetProbed(3, 40, 128);
  p.SetLastProbed(3);
  p.Reset(Links(2));  // a new search forgets the old probes
  EXPECT_EQ(p.Count(), 2);
  EXPECT_EQ(p.LastProbed(), -1);
  EXPECT_FALSE(p.AnyTime());
  p.Forget();
  EXPECT_EQ(p.Count(), -1);
  EXPECT_TRUE(p.AllProbed());  // nothing to probe
}

TEST(CandidatePickerTest, FastestRule) {
  // Probing stopped early at k: k, whatever its time says.
  EXPECT_EQ(Probed({300, 80}, 4, 1).PickFastest(kFast, kNever), 1);
  // Every link probed: the last one when it came within the fast time...
  EXPECT_EQ(Probed({50, 100}, 2, 1).PickFastest(kFast, kNever), 1);
  // ...else the quickest, the first found on a tie.
  EXPECT_EQ(Probed({300, 101, 200}, 3, 2).PickFastest(kFast, kNever), 1);
  EXPECT_EQ(Probed({400, 150, 150}, 3, 2).PickFastest(kFast, kNever), 1);
  // The unusable time and failures are never picked.
  EXPECT_EQ(Probed({kNever, -1, kNever + 1}, 3, 2).PickFastest(kFast, kNever), -1);
  EXPECT_EQ(Probed({kNever, kNever - 1}, 2, 1).PickFastest(kFast, kNever), 1);
  // Nothing probed, or no links.
  EXPECT_EQ(Probed({}, 3, -1).PickFastest(kFast, kNever), -1);
  EXPECT_EQ(Probed({}, 0, -1).PickFastest(kFast, kNever), -1);
}

TEST(CandidatePickerTest, AFailedDownloadTakesTheLinkOutOfThePick) {
  CCandidatePicker p = Probed({300, 200, 250}, 3, 2);
  EXPECT_TRUE(p.AllProbed());
  EXPECT_EQ(p.PickFastest(kFast, kNever), 1);
  p.Mark("http://h/1.mp3", -1);
  EXPECT_EQ(p.Time(1), -1);
  EXPECT_EQ(p.PickFastest(kFast, kNever), 2);
  p.Mark("http://h/9.mp3", -1);  // not one of ours: nothing changes
  EXPECT_EQ(p.PickFastest(kFast, kNever), 2);
  p.Mark("http://h/0.mp3", -1);
  p.Mark("http://h/2.mp3", -1);
  EXPECT_FALSE(p.AnyTime());
  EXPECT_EQ(p.PickFastest(kFast, kNever), -1);
}

TEST(CandidatePickerTest, MarkChangesOnlyTheFirstEqualLink) {
  CCandidatePicker p;
  p.Reset({"http://h/a.mp3", "http://h/a.mp3"});
  p.SetProbed(0, 10, 0);
  p.SetProbed(1, 20, 0);
  p.Mark("http://h/a.mp3", -1);
  EXPECT_EQ(p.Time(0), -1);
  EXPECT_EQ(p.Time(1), 20);
}

TEST(CandidatePickerTest, QualityFirstWeighsTheBitratesOfTheQuickOnes) {
  CCandidatePicker p;
  p.Reset(Links(4));
  p.SetProbed(0, 100, 128);
  p.SetProbed(1, 350, 320);  // within four times the fastest
  p.SetProbed(2, 401, 999);  // beyond it
  p.SetProbed(3, -1, 999);   // refused
  EXPECT_EQ(p.PickBestQuality(kNever), 1);
  EXPECT_EQ(p.Kbps(1), 320);
  p.Mark("http://h/1.mp3", -1);
  EXPECT_EQ(p.PickBestQuality(kNever), 0);
  CCandidatePicker none;
  none.Reset(Links(2));
  EXPECT_EQ(none.PickBestQuality(kNever), -1);
}

}  // namespace
