// Values: kinds, copy-on-write sharing, insertion order, truth, text forms and
// integer conversion, the semantics the processors build on.
#include <cmath>

#include <gtest/gtest.h>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/value.hpp"

using namespace tarvik_core;

namespace {

TEST(ValueKinds, TupleAndListAreDistinct) {
    Value t = Tuple{1, 2};
    Value l = List{1, 2};
    EXPECT_TRUE(t.is_tuple());
    EXPECT_FALSE(t.is_list());
    EXPECT_TRUE(l.is_list());
    EXPECT_FALSE(t == l) << "a tuple never equals a list with the same items";
}

TEST(ValueKinds, DiscreteActionIsPlainIntNotArray) {
    Value v = std::int64_t{3};
    EXPECT_TRUE(v.is_int());
    EXPECT_FALSE(v.is_array());
    EXPECT_EQ(v.as_int(), 3);
}

TEST(ValueKinds, WrongKindAccessNamesBothKinds) {
    Value v = List{1};
    try {
        (void)v.as_dict();
        FAIL() << "expected TypeError";
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), "expected dict, got list");
    }
}

TEST(ValueKinds, NumbersCompareAcrossKinds) {
    EXPECT_TRUE(Value(1) == Value(1.0));
    EXPECT_TRUE(Value(true) == Value(1));
    EXPECT_FALSE(Value(1) == Value("1"));
    EXPECT_TRUE(Value() == Value(nullptr));
}

TEST(Dicts, KeepInsertionOrderAndPositionOnReassign) {
    Dict d;
    d.set("b", 2);
    d.set("a", 1);
    d.set("c", 3);
    d.set("b", 20);  // reassigning keeps the original position
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(d.at("b").as_int(), 20);
    d.erase("a");
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "c"}));
}

TEST(Dicts, MissingKeyIsKeyErrorWithQuotedKey) {
    Dict d{{"x", 1}};
    try {
        (void)d.at("action");
        FAIL();
    } catch (const KeyError& e) {
        EXPECT_STREQ(e.what(), "'action'");
    }
    EXPECT_EQ(d.find("action"), nullptr);
}

TEST(CopyOnWrite, ChangesThroughOneCopyAreNotSeenThroughAnother) {
    Dict original{{"a", 1}};
    Dict copy = original;
    copy.set("a", 2);
    copy.set("b", 3);
    EXPECT_EQ(original.at("a").as_int(), 1);
    EXPECT_EQ(original.size(), 1u);

    Value v = List{1, 2};
    Value w = v;
    List l = w.as_list();
    l.push_back(3);
    EXPECT_EQ(v.as_list().size(), 2u);
}

TEST(CopyOnWrite, MutableDictInsideValueIsWrittenInPlace) {
    Value v = Dict{{"action", 1}};
    v.as_dict_mut().set("top_orchestrator_action", 2);
    EXPECT_EQ(v.as_dict().keys(), (std::vector<std::string>{"action", "top_orchestrator_action"}));
}

TEST(Indexing, NegativePositionsAndOutOfRange) {
    List l{10, 20, 30};
    EXPECT_EQ(l.at(-1).as_int(), 30);
    EXPECT_EQ(l.at(-3).as_int(), 10);
    EXPECT_THROW(l.at(3), IndexError);
    EXPECT_THROW(l.at(-4), IndexError);
    Tuple t{1};
    EXPECT_THROW(t[1], IndexError);
}

TEST(Truth, FollowsTheUsualRules) {
    struct Case {
        const char* name;
        Value value;
        bool truthy;
    } cases[] = {
        {"none", Value(), false},       {"false", Value(false), false},  {"zero", Value(0), false},
        {"zero float", Value(0.0), false}, {"empty string", Value(""), false}, {"empty list", List{}, false},
        {"empty dict", Dict{}, false},  {"empty tuple", Tuple{}, false}, {"one", Value(1), true},
        {"text", Value("a"), true},     {"list", List{0}, true},
        {"one-element zero array", NdArray::of<float>({0.f}), false},
        {"one-element array", NdArray::of<float>({2.f}), true},
        {"empty array", NdArray::zeros(DType::Float32, Shape{0}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.value.truthy(), c.truthy);
    }
}

TEST(Truth, ArrayOfSeveralElementsIsAmbiguous) {
    Value v = NdArray::of<std::int64_t>({1, 1});
    EXPECT_THROW((void)v.truthy(), ValueError);
}

TEST(TextForms, ReprRendersLikeTheMessagesExpect) {
    struct Case {
        Value value;
        const char* repr;
    } cases[] = {
        {Value(), "None"},
        {Value(true), "True"},
        {Value(-3), "-3"},
        {Value(0.5), "0.5"},
        {Value(1.0), "1.0"},
        {Value(1e-05), "1e-05"},
        {Value(1e16), "1e+16"},
        {Value(123456789012345.0), "123456789012345.0"},
        {Value(0.1), "0.1"},
        {Value(-3.4e38), "-3.4e+38"},
        {Value("it's"), "\"it's\""},
        {Value("a"), "'a'"},
        {List{1, 0}, "[1, 0]"},
        {Tuple{2}, "(2,)"},
        {Tuple{2, 4}, "(2, 4)"},
        {Tuple{}, "()"},
        {Dict{{"a", 1}, {"b", List{"x"}}}, "{'a': 1, 'b': ['x']}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.repr);
        EXPECT_EQ(repr(c.value), c.repr);
    }
    EXPECT_EQ(str(Value("plain")), "plain");
    EXPECT_EQ(str(Value()), "None");
    EXPECT_EQ(repr_names({"obs", "action_mask"}), "['obs', 'action_mask']");
}

TEST(TextForms, Float32TextIsItsOwnShortestForm) {
    EXPECT_EQ(float_repr(0.1f), "0.1");
    EXPECT_EQ(float_repr(static_cast<double>(0.1f)), "0.10000000149011612");
}

TEST(IntConversion, TruncatesTowardZeroAndRejectsWhatIntRejects) {
    EXPECT_EQ(to_int(Value(1.9)), 1);
    EXPECT_EQ(to_int(Value(-1.9)), -1);
    EXPECT_EQ(to_int(Value(true)), 1);
    EXPECT_EQ(to_int(Value(" 7 ")), 7);
    EXPECT_EQ(to_int(Value(NdArray::of<double>({2.7}))), 2);
    try {
        to_int(Value("abc"));
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "invalid literal for int() with base 10: 'abc'");
    }
    EXPECT_THROW(to_int(Value(std::nan(""))), ValueError);
    EXPECT_THROW(to_int(Value(1.0 / 0.0)), OverflowError);
    try {
        to_int(Value());
        FAIL();
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(),
                     "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'");
    }
    EXPECT_THROW(to_int(Value(NdArray::of<double>({1, 2}))), TypeError);
}

struct Widget : Object {};
namespace inner {
struct Gadget : Object {};
}  // namespace inner

TEST(Objects, ClassNameDropsNamespacesAndTypeTestsWork) {
    auto g = std::make_shared<inner::Gadget>();
    Value v = g;
    EXPECT_EQ(v.type_name(), "Gadget");
    EXPECT_EQ(repr(v), "<Gadget object>");
    EXPECT_EQ(v.as<inner::Gadget>("a gadget"), g);
    EXPECT_THROW(v.as<Widget>("a widget"), TypeError);
    EXPECT_TRUE(Value(std::shared_ptr<Widget>()).is_none()) << "a null object is None";
}

}  // namespace
