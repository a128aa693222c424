#pragma once

#include <string_view>

// Every message text that the index owns, in one place: why a graph given
// to HnswIndex::from_graph() cannot be restored, and why a graph is too
// large to hold. Numbers stand between the
// pieces, as the comments show.
namespace quorvel::index::messages {

// "node <n> has level <level>; levels must stay at most <highest>"
inline constexpr std::string_view kNode = "node ";
inline constexpr std::string_view kHasLevel = " has level ";
inline constexpr std::string_view kLevelsMustStayAtMost = "; levels must stay at most ";
// "the nodes' levels call for <count> lists, list_sizes holds <sizes>"
inline constexpr std::string_view kLevelsCallFor = "the nodes' levels call for ";
inline constexpr std::string_view kListSizesHolds = " lists, list_sizes holds ";
// "the lists hold <total> numbers, neighbors holds <count>"
inline constexpr std::string_view kListsHold = "the lists hold ";
inline constexpr std::string_view kNumbersNeighborsHolds = " numbers, neighbors holds ";
// "node <n> holds <size> numbers on layer <layer>, more than <bound>"
inline constexpr std::string_view kHolds = " holds ";
inline constexpr std::string_view kNumbersOnLayer = " numbers on layer ";
inline constexpr std::string_view kMoreThan = ", more than ";
// "node <n> lists <other> on layer <layer>, which is not a node" (or one
// of the other endings below)
inline constexpr std::string_view kLists = " lists ";
inline constexpr std::string_view kOnLayer = " on layer ";
inline constexpr std::string_view kWhichIsNotANode = ", which is not a node";
inline constexpr std::string_view kWhoseLevelIsBelowTheLayer = ", whose level is below the layer";
inline constexpr std::string_view kItself = ", itself";
// Entry point problems; "the entry point <n> is not a node",
// "top_level <t> is not the entry point's level <level>", "node <n> has
// level <level>, above the entry point's".
inline constexpr std::string_view kNoEntryPoint = "there are nodes but no entry point";
inline constexpr std::string_view kEntryPointWithoutNodes = "there is an entry point but no node";
inline constexpr std::string_view kTheEntryPoint = "the entry point ";
inline constexpr std::string_view kIsNotANode = " is not a node";
inline constexpr std::string_view kTopLevel = "top_level ";
inline constexpr std::string_view kIsNotTheEntryPointsLevel = " is not the entry point's level ";
inline constexpr std::string_view kAboveTheEntryPoints = ", above the entry point's";
// "retired holds <count> marks for <slots> node numbers", "the retired mark
// of <n> is <value>, not 0 or 1", "node <n> is retired but is not a node"
inline constexpr std::string_view kRetiredHolds = "retired holds ";
inline constexpr std::string_view kMarksFor = " marks for ";
inline constexpr std::string_view kNodeNumbers = " node numbers";
inline constexpr std::string_view kTheRetiredMarkOf = "the retired mark of ";
inline constexpr std::string_view kIs = " is ";
inline constexpr std::string_view kNot0Or1 = ", not 0 or 1";
inline constexpr std::string_view kIsRetiredButIsNotANode = " is retired but is not a node";

// "an index holds at most 4294967295 node slots; this one would need <slots>"
inline constexpr std::string_view kIndexHoldsAtMost = "an index holds at most ";
inline constexpr std::string_view kNodeSlotsThisOneWouldNeed = " node slots; this one would need ";
// What HnswIndex::insert() throws (std::length_error) for a node number or
// level that 32 bits cannot hold.
inline constexpr const char* kNodeNumberTooLarge = "node numbers and levels must stay below 4294967295";

}  // namespace quorvel::index::messages
