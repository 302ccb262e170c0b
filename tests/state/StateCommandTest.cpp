#include "state/IProductStateQuery.h"
#include "state/StateCommand.h"
#include "state/StateFixture.h"

namespace {

using Tessaro::Ravelin::IProductStateQuery;
using Tessaro::Ravelin::ParseStateCommand;
using Tessaro::Ravelin::ProductState;
using Tessaro::Vantrel::Common::Result;

class ScriptedProductState : public IProductStateQuery {
public:
    explicit ScriptedProductState(Result<ProductState> answer) : answer_(std::move(answer)) {}
    Result<ProductState> GetOwnProductState() override
    {
        ++calls;
        return answer_;
    }
    int calls = 0;

private:
    Result<ProductState> answer_;
};

class StateCommandTest : public Tessaro::Testing::StateFixture {
protected:
    std::uint32_t Parse(const std::string& word, ProductState& state, IProductStateQuery& query)
    {
        return ParseStateCommand(word, state, *configuration, &query);
    }
    void StoreOwnInstanceState(std::uint64_t value)
    {
        const std::wstring instance = L"Instance\\" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(settings.Child(instance)->CreateRecursively(), 0u);
        ASSERT_EQ(settings.Child(instance)->SetQword(L"StoredState", value), 0u);
    }
};

TEST_F(StateCommandTest, NamedStatesNeedNeitherRegistryNorSecurityCenter)
{
    ScriptedProductState query{Result<ProductState>(ProductState::On)};
    ProductState state = ProductState::None;
    EXPECT_EQ(Parse("SNOOZE", state, query), 0u);
    EXPECT_EQ(state, ProductState::Snoozed);
    EXPECT_EQ(Parse("ENABLE", state, query), 0u);
    EXPECT_EQ(state, ProductState::On);
    EXPECT_EQ(query.calls, 0);

    for (const char* unknown : {"snooze", "ENABLED", "ENABLE ", "", "SET_EXPIRATION"}) {
        state = ProductState::Snoozed;
        EXPECT_EQ(Parse(unknown, state, query), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER)) << unknown;
        EXPECT_EQ(state, ProductState::Snoozed) << "an unknown word leaves the state";
    }
}

// The stored numbers are the product's, as the integration guide gives them: 2 on, 3 snoozed, 1 off.
TEST_F(StateCommandTest, TimeWordsTakeTheStoredStateFirst)
{
    const std::pair<std::uint64_t, ProductState> stored[] = {
        {0x100000003ull, ProductState::Snoozed},  // the low 32 bits count
        {2, ProductState::On},
        {1, ProductState::Off},
    };
    ScriptedProductState query{Result<ProductState>(ProductState::Expired)};
    for (const auto& [number, expected] : stored) {
        StoreOwnInstanceState(number);
        for (const char* word :
             {"SET_EXPIRATION_TIME", "REMOVE_EXPIRATION_TIME", "SET_OUT_OF_DATE_TIME", "REMOVE_OUT_OF_DATE_TIME"}) {
            ProductState state = ProductState::None;
            EXPECT_EQ(Parse(word, state, query), 0u) << word;
            EXPECT_EQ(state, expected) << word << " " << number;
        }
    }
    EXPECT_EQ(query.calls, 0);
}

TEST_F(StateCommandTest, WithoutStoredStateSecurityCenterDecides)
{
    for (const auto shown : {ProductState::On, ProductState::Unregistered}) {
        ScriptedProductState query{Result<ProductState>(shown)};
        ProductState state = ProductState::None;
        EXPECT_EQ(Parse("SET_OUT_OF_DATE_TIME", state, query), 0u);
        EXPECT_EQ(state, shown);
        EXPECT_EQ(query.calls, 1);
    }
    EXPECT_TRUE(log.Messages().empty());

    ScriptedProductState failing(Result<ProductState>(ProductState::Off, ERROR_INVALID_PARAMETER));
    ProductState state = ProductState::None;
    EXPECT_EQ(Parse("SET_OUT_OF_DATE_TIME", state, failing), 0u) << "the command still succeeds";
    EXPECT_EQ(state, ProductState::Off);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to get the current product state (Error: 87)"});
}

}  // namespace
