// The built-in tables against the reference data they were generated from.
#include "vad/bv32/tables.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/vad/bv32/bv32_test_data.h"
#include "vad/bvcommon/cmtables.h"
#include "vad/bvcommon/mathtables.h"

namespace {

struct Table {
    const Word16* data;
    size_t size;
};

template <size_t N>
Table table(const Word16 (&a)[N]) {
    return {a, N};
}

std::map<std::string, Table> built_in() {
    using namespace bv32;
    static const Word16 lgmean_value[1] = {lgmean};
    return {{"lgclimit", table(lgclimit)},
            {"lspecb1", table(lspecb1)},
            {"lspecb21", table(lspecb21)},
            {"lspecb22", table(lspecb22)},
            {"lspmean", table(lspmean)},
            {"lspp", table(lspp)},
            {"lgpecb", table(lgpecb)},
            {"lgp", table(lgp)},
            {"lgmean", table(lgmean_value)},
            {"cccb", table(cccb)},
            {"pp9cb", table(pp9cb)},
            {"a_pre", table(a_pre)},
            {"b_pre", table(b_pre)},
            {"hpfa", table(hpfa)},
            {"hpfb", table(hpfb)},
            {"adf_h", table(adf_h)},
            {"adf_l", table(adf_l)},
            {"bdf", table(bdf)},
            {"x", table(x)},
            {"x2", table(x2)},
            {"MPTH", table(MPTH)},
            {"winl", table(winl)},
            {"sstwinl_h", table(sstwinl_h)},
            {"sstwinl_l", table(sstwinl_l)},
            {"idxord", table(idxord)},
            {"lgpecb_nh", table(lgpecb_nh)},
            {"bwel", table(bwel)},
            {"STWAL", table(STWAL)},
            {"invk", table(invk)},
            {"grid", table(grid)},
            {"tabpow", table(tabpow)},
            {"tablog", table(tablog)},
            {"costable", table(costable)},
            {"acosslope", table(acosslope)},
            {"tabsqrt", table(tabsqrt)},
            {"bit_table", table(bit_table)},
            {"reset_lsplast", table(reset_lsplast)}};
}

TEST(Bv32Tables, EveryTableEqualsTheReferenceData) {
    std::ifstream in(bv32test::data_path("tables.txt"));
    ASSERT_TRUE(in) << "tables.txt not found";
    const std::map<std::string, Table> tables = built_in();
    size_t seen = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream head(line);
        std::string word, name, type;
        size_t count = 0;
        if (!(head >> word >> name >> type >> count) || word != "table") continue;
        std::vector<int> values;
        while (std::getline(in, line) && !line.empty()) {
            if (line.rfind("dims", 0) == 0) continue;
            std::istringstream row(line);
            for (int v; row >> v;) values.push_back(v);
        }
        const auto it = tables.find(name);
        ASSERT_NE(it, tables.end()) << "no built-in table " << name;
        ASSERT_EQ(it->second.size, count) << name;
        ASSERT_EQ(values.size(), count) << name;
        for (size_t i = 0; i < count; i++)
            ASSERT_EQ(it->second.data[i], values[i]) << name << "[" << i << "]";
        seen++;
    }
    EXPECT_EQ(seen, tables.size());
}

}  // namespace
