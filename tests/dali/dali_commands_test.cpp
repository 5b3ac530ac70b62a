#include "dali/dali_commands.h"

#include <gtest/gtest.h>

#include <set>

#include "dali/device_commands.h"

namespace kovra62386::dali {
namespace {

uint8_t opcode_of(std::string_view name) {
  const Command* c = find_command(name);
  EXPECT_NE(c, nullptr) << name;
  return c ? c->code : 0;
}

TEST(DaliCommands, KnownOpcodes) {
  EXPECT_EQ(opcode_of("OFF"), 0x00);
  EXPECT_EQ(opcode_of("UP"), 0x01);
  EXPECT_EQ(opcode_of("RECALL MAX LEVEL"), 0x05);
  EXPECT_EQ(opcode_of("ON AND STEP UP"), 0x08);
  EXPECT_EQ(opcode_of("GO TO SCENE"), 0x10);
  EXPECT_EQ(opcode_of("RESET"), 0x20);
  EXPECT_EQ(opcode_of("STORE ACTUAL LEVEL IN DTR0"), 0x21);
  EXPECT_EQ(opcode_of("SET MAX LEVEL"), 0x2A);
  EXPECT_EQ(opcode_of("SET FADE RATE"), 0x2F);
  EXPECT_EQ(opcode_of("SET SCENE"), 0x40);
  EXPECT_EQ(opcode_of("REMOVE FROM SCENE"), 0x50);
  EXPECT_EQ(opcode_of("ADD TO GROUP"), 0x60);
  EXPECT_EQ(opcode_of("REMOVE FROM GROUP"), 0x70);
  EXPECT_EQ(opcode_of("SET SHORT ADDRESS"), 0x80);
  EXPECT_EQ(opcode_of("QUERY STATUS"), 0x90);
  EXPECT_EQ(opcode_of("QUERY CONTROL GEAR PRESENT"), 0x91);
  EXPECT_EQ(opcode_of("QUERY MISSING SHORT ADDRESS"), 0x96);
  EXPECT_EQ(opcode_of("QUERY CONTENT DTR0"), 0x98);
  EXPECT_EQ(opcode_of("QUERY DEVICE TYPE"), 0x99);
  EXPECT_EQ(opcode_of("QUERY CONTENT DTR1"), 0x9C);
  EXPECT_EQ(opcode_of("QUERY CONTENT DTR2"), 0x9D);
  EXPECT_EQ(opcode_of("QUERY ACTUAL LEVEL"), 0xA0);
  EXPECT_EQ(opcode_of("QUERY FADE TIME/FADE RATE"), 0xA5);
  EXPECT_EQ(opcode_of("QUERY SCENE LEVEL"), 0xB0);
  EXPECT_EQ(opcode_of("QUERY GROUPS 0-7"), 0xC0);
  EXPECT_EQ(opcode_of("QUERY GROUPS 8-15"), 0xC1);
  EXPECT_EQ(opcode_of("QUERY RANDOM ADDRESS (H)"), 0xC2);
  EXPECT_EQ(opcode_of("QUERY RANDOM ADDRESS (L)"), 0xC4);
  // Special commands: the code is the address byte.
  EXPECT_EQ(opcode_of("TERMINATE"), 0xA1);
  EXPECT_EQ(opcode_of("DTR0"), 0xA3);
  EXPECT_EQ(opcode_of("INITIALISE"), 0xA5);
  EXPECT_EQ(opcode_of("RANDOMISE"), 0xA7);
  EXPECT_EQ(opcode_of("COMPARE"), 0xA9);
  EXPECT_EQ(opcode_of("WITHDRAW"), 0xAB);
  EXPECT_EQ(opcode_of("SEARCHADDRH"), 0xB1);
  EXPECT_EQ(opcode_of("SEARCHADDRM"), 0xB3);
  EXPECT_EQ(opcode_of("SEARCHADDRL"), 0xB5);
  EXPECT_EQ(opcode_of("PROGRAM SHORT ADDRESS"), 0xB7);
  EXPECT_EQ(opcode_of("VERIFY SHORT ADDRESS"), 0xB9);
  EXPECT_EQ(opcode_of("QUERY SHORT ADDRESS"), 0xBB);
  EXPECT_EQ(opcode_of("ENABLE DEVICE TYPE"), 0xC1);
  EXPECT_EQ(opcode_of("DTR1"), 0xC3);
  EXPECT_EQ(opcode_of("DTR2"), 0xC5);
}

// The status bits as IEC 62386-102 and IEC 62386-103 number them; the gear's
// are expanded from the table's bit numbers.
static_assert(kStatusControlGearFailure == 0x01 && kStatusLampOn == 0x04 &&
              kStatusMissingShortAddress == 0x40 &&
              kStatusPowerCycleSeen == 0x80);
static_assert(device::status::kQuiescent == 0x02 &&
              device::status::kPowerCycleSeen == 0x20);

TEST(DaliCommands, FlagsFollowTheStandard) {
  // Configuration instructions 0x20-0x81 go twice; nothing else does except
  // INITIALISE and RANDOMISE.
  for (const Command& c : all_commands()) {
    const bool configuration =
        c.kind == CommandKind::Standard && c.code >= 0x20 && c.code <= 0x81;
    const bool twice_special =
        c.kind == CommandKind::Special && (c.code == 0xA5 || c.code == 0xA7);
    EXPECT_EQ(c.send_twice, configuration || twice_special) << c.name;
    if (c.kind == CommandKind::Standard) {
      EXPECT_EQ(c.query, c.code >= 0x90) << c.name;
    }
    if (c.kind == CommandKind::Special) {
      EXPECT_EQ(c.code & 1, 1) << c.name;
      EXPECT_GE(c.code, 0xA1);
      EXPECT_LE(c.code, 0xCB);
    }
  }
  EXPECT_TRUE(find_command("COMPARE")->query);
  EXPECT_TRUE(find_command("VERIFY SHORT ADDRESS")->query);
  EXPECT_FALSE(find_command("WITHDRAW")->query);
  EXPECT_EQ(find_command("GO TO SCENE")->parameter, Parameter::Scene);
  EXPECT_EQ(find_command("ADD TO GROUP")->parameter, Parameter::Group);
  EXPECT_EQ(find_command("DTR0")->parameter, Parameter::Data);
  EXPECT_EQ(find_command("TERMINATE")->parameter, Parameter::None);
}

TEST(DaliCommands, OpcodesAndNamesAreUnique) {
  std::set<unsigned> standard, special;
  std::set<std::string_view> names;
  for (const Command& c : all_commands()) {
    EXPECT_TRUE(names.insert(c.name).second) << c.name;
    for (unsigned i = 0; i < c.span(); ++i) {
      if (c.kind == CommandKind::Standard) {
        EXPECT_TRUE(standard.insert(c.code + i).second) << c.name;
        EXPECT_EQ(find_standard_command(static_cast<uint8_t>(c.code + i)), &c);
      } else if (c.kind == CommandKind::Special) {
        EXPECT_TRUE(special.insert(c.code).second) << c.name;
        EXPECT_EQ(find_special_command(c.code), &c);
      }
    }
    // Every name finds its own entry.
    EXPECT_EQ(find_command(c.name), &c) << c.name;
  }
  EXPECT_EQ(find_standard_command(0x0B), nullptr);  // reserved
  EXPECT_EQ(find_standard_command(0xE0), nullptr);  // application extended
  EXPECT_EQ(find_special_command(0xA2), nullptr);
  EXPECT_EQ(find_special_command(0x00), nullptr);
}

TEST(DaliCommands, NameLookupIsForgiving) {
  EXPECT_EQ(find_command("recall_max_level"), find_command("RECALL MAX LEVEL"));
  EXPECT_EQ(find_command("  Query  Actual_Level "),
            find_command("QUERY ACTUAL LEVEL"));
  EXPECT_EQ(find_command("query random address h"),
            find_command("QUERY RANDOM ADDRESS (H)"));
  EXPECT_EQ(find_command("QUERY_GROUPS_0_7"), find_command("QUERY GROUPS 0-7"));
  EXPECT_EQ(find_command("STORE DTR AS MAX LEVEL"),
            find_command("SET MAX LEVEL"));
  EXPECT_EQ(find_command("initialize"), find_command("INITIALISE"));
  EXPECT_EQ(find_command("NO SUCH COMMAND"), nullptr);
  EXPECT_EQ(find_command(""), nullptr);
  EXPECT_EQ(find_command("RECALL MAX LEVELS"), nullptr);
}

TEST(DaliCommands, ParseCommandWithParameter) {
  auto p = parse_command("GO TO SCENE 5");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->command, find_command("GO TO SCENE"));
  EXPECT_EQ(p->value, 5);
  p = parse_command("add_to_group_15");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->command->code, 0x60);
  EXPECT_EQ(p->value, 15);
  p = parse_command("DTR0 0x1F");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->value, 0x1F);
  p = parse_command("dapc 200");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->command->kind, CommandKind::DirectArcPower);
  EXPECT_EQ(p->value, 200);
  p = parse_command("QUERY GROUPS 0-7");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->command->code, 0xC0);
  p = parse_command("OFF");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->command->code, 0x00);

  EXPECT_FALSE(parse_command("GO TO SCENE 16"));  // scenes are 0-15
  EXPECT_FALSE(parse_command("GO TO SCENE"));     // parameter missing
  EXPECT_FALSE(parse_command("DAPC 256"));
  EXPECT_FALSE(parse_command("OFF 3"));  // OFF takes none
  EXPECT_FALSE(parse_command("DTR0 zz"));
}

TEST(DaliCommands, AddressBytes) {
  EXPECT_EQ(address_byte(Address::short_address(3), false), 0x07);
  EXPECT_EQ(address_byte(Address::short_address(3), true), 0x06);
  EXPECT_EQ(address_byte(Address::short_address(63), false), 0x7F);
  EXPECT_EQ(address_byte(Address::group(2), false), 0x85);
  EXPECT_EQ(address_byte(Address::group(15), true), 0x9E);
  EXPECT_EQ(address_byte(Address::broadcast(), false), 0xFF);
  EXPECT_EQ(address_byte(Address::broadcast(), true), 0xFE);
  EXPECT_EQ(address_byte(Address::broadcast_unaddressed(), false), 0xFD);
  EXPECT_EQ(address_byte(Address::broadcast_unaddressed(), true), 0xFC);
  EXPECT_EQ(short_address_data(5), 0x0B);

  for (unsigned b = 0; b < 256; ++b) {
    const DecodedAddress d = decode_address_byte(static_cast<uint8_t>(b));
    if (d.address.kind == AddressKind::Special ||
        d.address.kind == AddressKind::Reserved) {
      EXPECT_GE(b, 0xA0u);
      EXPECT_LE(b, 0xFBu);
      continue;
    }
    // Everything else encodes back to the same byte.
    EXPECT_EQ(address_byte(d.address, !d.selector), b);
  }
  EXPECT_EQ(decode_address_byte(0xA3).address.kind, AddressKind::Special);
  EXPECT_EQ(decode_address_byte(0xA2).address.kind, AddressKind::Reserved);
  EXPECT_EQ(decode_address_byte(0xCD).address.kind, AddressKind::Special);
}

TEST(DaliCommands, ParseAddress) {
  EXPECT_EQ(parse_address("5"), Address::short_address(5));
  EXPECT_EQ(parse_address("a63"), Address::short_address(63));
  EXPECT_EQ(parse_address("S 7"), Address::short_address(7));
  EXPECT_EQ(parse_address("short 7"), Address::short_address(7));
  EXPECT_EQ(parse_address("G3"), Address::group(3));
  EXPECT_EQ(parse_address("group_15"), Address::group(15));
  EXPECT_EQ(parse_address("bc"), Address::broadcast());
  EXPECT_EQ(parse_address("Broadcast"), Address::broadcast());
  EXPECT_EQ(parse_address("BCU"), Address::broadcast_unaddressed());
  EXPECT_FALSE(parse_address("64"));
  EXPECT_FALSE(parse_address("G16"));
  EXPECT_FALSE(parse_address("A"));
  EXPECT_FALSE(parse_address("-1"));
  EXPECT_FALSE(parse_address(""));
  EXPECT_FALSE(parse_address("X5"));
}

TEST(DaliCommands, EncodeFrame) {
  using Bytes = std::array<uint8_t, 2>;
  EXPECT_EQ(encode_frame(Address::short_address(3), *find_command("DAPC"), 200),
            (Bytes{0x06, 200}));
  EXPECT_EQ(encode_frame(Address::group(1), *find_command("GO TO SCENE"), 4),
            (Bytes{0x83, 0x14}));
  EXPECT_EQ(encode_frame(Address::broadcast(), *find_command("QUERY STATUS")),
            (Bytes{0xFF, 0x90}));
  EXPECT_EQ(encode_frame(Address::short_address(9), *find_command("DTR1"), 7),
            (Bytes{0xC3, 7}));
  EXPECT_EQ(encode_frame(Address::broadcast(), *find_command("COMPARE"), 7),
            (Bytes{0xA9, 0}));
}

TEST(DaliCommands, DescribeForwardFrame) {
  auto describe = [](uint8_t a, uint8_t b) {
    const uint8_t data[2] = {a, b};
    return describe_forward_frame(data, 16);
  };
  EXPECT_EQ(describe(0x07, 0xA0), "short 3: QUERY ACTUAL LEVEL");
  EXPECT_EQ(describe(0x85, 0x00), "group 2: OFF");
  EXPECT_EQ(describe(0xFE, 254), "broadcast: DAPC 254");
  EXPECT_EQ(describe(0xFE, 255), "broadcast: DAPC 255 (MASK)");
  EXPECT_EQ(describe(0xFD, 0x91),
            "broadcast unaddressed: QUERY CONTROL GEAR PRESENT");
  EXPECT_EQ(describe(0x03, 0x14), "short 1: GO TO SCENE 4");
  EXPECT_EQ(describe(0x03, 0x6F), "short 1: ADD TO GROUP 15");
  EXPECT_EQ(describe(0xA3, 0x05), "special: DTR0 0x05");
  EXPECT_EQ(describe(0xA1, 0x00), "special: TERMINATE");
  EXPECT_EQ(describe(0x07, 0x0B), "short 3: reserved command 0x0B");
  EXPECT_EQ(describe(0x07, 0xE2), "short 3: APPLICATION EXTENDED COMMAND 0xE2");
  EXPECT_EQ(describe(0xA2, 0x00), "reserved address 0xA2: 0x00");
  const uint8_t three[3] = {0xC1, 0x01, 0x02};
  EXPECT_EQ(describe_forward_frame(three, 24), "special: INITIALISE 0x02");
  EXPECT_EQ(describe_forward_frame(nullptr, 16), "empty frame");
  // A lying bit count reads no more than the record holds.
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(describe_forward_frame(five, 255).substr(0, 11), "255-bit fra");
}

TEST(DaliCommands, DescriptionsParseBackToTheSameFrame) {
  // What the monitor prints is what a user can type back.
  for (const Command& c : all_commands()) {
    const uint8_t value = c.span() > 1                     ? 5
                          : c.parameter == Parameter::Data ? 0x2A
                                                           : 0;
    const auto bytes = encode_frame(Address::short_address(3), c, value);
    const std::string text = describe_forward_frame(bytes.data(), 16);
    const size_t colon = text.find(": ");
    ASSERT_NE(colon, std::string::npos) << text;
    const auto parsed = parse_command(text.substr(colon + 2));
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->command, &c) << text;
    EXPECT_EQ(encode_frame(Address::short_address(3), *parsed->command,
                           parsed->value),
              bytes)
        << text;
  }
  // Every possible 16-bit frame has a description naming its target.
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const uint8_t data[2] = {static_cast<uint8_t>(a),
                               static_cast<uint8_t>(b)};
      const std::string text = describe_forward_frame(data, 16);
      ASSERT_NE(text.find(": "), std::string::npos) << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace kovra62386::dali
