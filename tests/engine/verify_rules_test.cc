#include <gtest/gtest.h>

#include <string>

#include "engine/verify.h"

namespace hv {
namespace {

TEST(WildcardToPatternTest, EachCharacterStandsAlone) {
  EXPECT_EQ(WildcardToPattern("*.txt"), "^.*[.][t][x][t]$");
  EXPECT_EQ(WildcardToPattern("a?b*"), "^[a].[b].*$");
  EXPECT_EQ(WildcardToPattern("logs\\x[1].log"), "^[x][[][1]\\][.][l][o][g]$");
}

TEST(WildcardToPatternTest, ARunOfStarsIsOneStar) {
  EXPECT_EQ(WildcardToPattern("a***b"), "^[a].*[b]$");
}

TEST(WildcardToPatternTest, StarsBeforeTheLastTakeTheFirstFit) {
  EXPECT_EQ(WildcardToPattern("*a*b*"), "^(?>.*?[a])(?>.*?[b]).*$");
  EXPECT_EQ(WildcardToPattern("x*?**y"), "^[x](?>.*?.).*[y]$");
}

TEST(WildcardToRegExpTest, StarsMatchAsManyCharactersAsNeeded) {
  EXPECT_TRUE(WildcardToRegExp("*a*b")->Match("xaab"));
  EXPECT_TRUE(WildcardToRegExp("*a*b")->Match("bab"));
  EXPECT_FALSE(WildcardToRegExp("*a*b")->Match("ba"));
  EXPECT_TRUE(WildcardToRegExp("*ab*ab")->Match("abab"));
  EXPECT_FALSE(WildcardToRegExp("*ab*ab")->Match("aab"));
  EXPECT_TRUE(WildcardToRegExp("*?*")->Match("q"));
}

// Found by fuzzing: with a ".*" for every star the matcher ran out of steps
// trying every split of the text and missed that a mask matches its own text.
TEST(WildcardToRegExpTest, AMaskWithManyStarsMatchesItsOwnText) {
  std::string mask;
  for (int i = 0; i < 21; ++i) mask += "*abbbbb";
  mask += "*x";
  EXPECT_TRUE(WildcardToRegExp(mask)->Match(mask));
  const std::string run = "T*************         **x*";
  EXPECT_TRUE(WildcardToRegExp(run)->Match(run));
  EXPECT_TRUE(WildcardToRegExp(run)->Match("Tabc         x"));
  EXPECT_FALSE(WildcardToRegExp(run)->Match("Tabc        x"));
}

}  // namespace
}  // namespace hv
