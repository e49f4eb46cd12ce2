// Removal of what the installation made, on a tree of the test's own with
// links planted as a standard user would plant them: before the removal, in
// place of the tree itself, and at the moment a listed folder is opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/TreeRemoval.h"
#include "plinth/FolderSecurity.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/PlantedLinks.h"

namespace {

using namespace VkInst;

// The folder the race swaps for a link to the victim once it was listed, and
// the test's list of links it planted.
std::wstring g_swapped;
std::wstring g_victim;
std::vector<std::wstring>* g_planted = nullptr;

void SwapForLink(const std::wstring& path)
{
    if (path != g_swapped)
        return;
    ZelTest::RemoveTree(path);
    EXPECT_TRUE(ZelTest::PlantSymbolicLink(path, g_victim)) << path;
    g_planted->push_back(path);
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class TreeRemovalTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(Plinth::GetBaseFolder(m_temp.Path(), m_base), 0u);
        m_victim = g_victim = m_base + L"\\victim";
        m_tree = m_base + L"\\tree";
        MakeTree();
    }

    void TearDown() override { Clean(); }

    void MakeTree()
    {
        for (const std::wstring& folder : {m_victim, m_tree, m_tree + L"\\big", m_tree + L"\\big\\deeper"})
            ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr)) << folder;
        ASSERT_TRUE(ZelTest::WriteBytes(m_victim + L"\\keep.txt", "keep", 4));
        for (const std::wstring& file : {m_tree + L"\\log.ini", m_tree + L"\\big\\deeper\\a.log"})
            ASSERT_TRUE(ZelTest::WriteBytes(file, "x", 1)) << file;
        ASSERT_TRUE(::SetFileAttributesW((m_tree + L"\\log.ini").c_str(), FILE_ATTRIBUTE_READONLY));
    }

    void Plant(const std::wstring& link, const std::wstring& target)
    {
        ASSERT_TRUE(ZelTest::PlantSymbolicLink(link, target)) << link;
        m_links.push_back(link);
    }

    // Links go before anything else, then the trees; the victim must be whole.
    void Clean()
    {
        SetBeforeEntryOpenHook(nullptr);
        g_swapped.clear();
        for (const std::wstring& link : m_links)
            EXPECT_TRUE(ZelTest::RemovePlantedLink(link)) << link;
        m_links.clear();
        EXPECT_EQ(ZelTest::ReadBytes(m_victim + L"\\keep.txt"), "keep") << "the victim's file was deleted";
        ZelTest::RemoveTree(m_tree);
        ZelTest::RemoveTree(m_victim);
    }

    ZelTest::TempFolder m_temp{L"removal"};
    std::wstring m_base;
    std::wstring m_victim;
    std::wstring m_tree;
    std::vector<std::wstring> m_links;
};

TEST_F(TreeRemovalTest, RemovesATreeReadOnlyFilesIncluded)
{
    std::vector<Leftover> left;
    EXPECT_TRUE(RemoveTree(m_tree, left));
    EXPECT_TRUE(left.empty());
    EXPECT_FALSE(Exists(m_tree));
    EXPECT_TRUE(RemoveTree(m_tree, left)) << "a tree that is gone is removed";
}

// Wine opens what a link points at, so each link is left, named, with its
// target untouched; the rest of the tree goes.
TEST_F(TreeRemovalTest, LeavesWhatLeadsElsewhereWhenPlantedBeforeOrDuringTheRemoval)
{
    const struct
    {
        const char* what;
        std::wstring link;
        std::wstring target;
    } cases[] = {
        {"a linked folder inside", m_tree + L"\\linked", m_victim},
        {"a settings file linked to another file", m_tree + L"\\log.ini", m_victim + L"\\keep.txt"},
        {"a folder swapped for a link once listed", m_tree + L"\\big", m_victim},
        {"the tree itself a link", m_tree, m_victim},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.link == m_tree + L"\\big") {
            g_swapped = c.link;
            g_planted = &m_links;
            SetBeforeEntryOpenHook(&SwapForLink);
        } else {
            ::SetFileAttributesW(c.link.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileW(c.link.c_str()))
                ZelTest::RemoveTree(c.link);
            Plant(c.link, c.target);
        }
        std::vector<Leftover> left;
        EXPECT_FALSE(RemoveTree(m_tree, left));
        ASSERT_FALSE(left.empty());
        EXPECT_EQ(left.front().path, c.link);
        EXPECT_EQ(left.front().error, Plinth::kErrorReparsePoint);
        Clean();
        MakeTree();
    }
}

TEST_F(TreeRemovalTest, RemovesFilesAndEmptyFoldersOnlyThroughTheirOwnNames)
{
    std::vector<Leftover> left;
    EXPECT_EQ(RemoveEmptyFolder(m_tree + L"\\big"), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_EQ(RemoveEmptyFolder(m_tree + L"\\missing"), 0u);
    EXPECT_FALSE(RemoveFile(m_tree + L"\\big", left)) << "a folder is no file";
    Plant(m_tree + L"\\linked", m_victim);
    EXPECT_EQ(RemoveEmptyFolder(m_tree + L"\\linked"), Plinth::kErrorReparsePoint);
    ZelTest::RemoveTree(m_tree + L"\\big\\deeper");
    EXPECT_EQ(RemoveEmptyFolder(m_tree + L"\\big"), 0u);
    EXPECT_TRUE(RemoveFile(m_tree + L"\\log.ini", left));
    EXPECT_FALSE(Exists(m_tree + L"\\big"));
    EXPECT_FALSE(Exists(m_tree + L"\\log.ini"));
}

} // namespace
