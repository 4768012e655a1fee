// Service definitions: where they live, how they change, how they go.
#include <cstring>
#include <string>

#include "service_fixture.h"

namespace {

using dvtest::kSampleService;
using dvtest::ServiceTest;

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\DvSample";

std::string StringValue(const char* keyPath, const char* name, DWORD* type = nullptr)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return "(no key)";
    char data[512] = {};
    DWORD size = sizeof data - 1;
    LSTATUS result = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return "(no value)";
    return std::string(data, size);
}

DWORD DwordValue(const char* keyPath, const char* name)
{
    HKEY key;
    DWORD value = 0xDEAD;
    DWORD size = sizeof value;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
    }
    return value;
}

bool KeyExists(const char* keyPath)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

TEST_F(ServiceTest, CreateWritesTheDefinitionIntoTheRegistry)
{
    SC_HANDLE service = Install(" --flag");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(DwordValue(kServiceKey, "Type"), SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(DwordValue(kServiceKey, "Start"), SERVICE_DEMAND_START);
    EXPECT_EQ(DwordValue(kServiceKey, "ErrorControl"), SERVICE_ERROR_NORMAL);
    DWORD type = 0;
    EXPECT_EQ(StringValue(kServiceKey, "ImagePath", &type),
              std::string("\"") + DORVANE_SAMPLE_SERVICE + "\" --flag" + '\0');
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(StringValue(kServiceKey, "DisplayName"), std::string("Sample Service") + '\0');
    EXPECT_EQ(StringValue(kServiceKey, "DependOnService", &type), std::string("TCPIP\0Eventlog\0\0", 16));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(StringValue(kServiceKey, "ObjectName"), std::string("LocalSystem") + '\0');

    SERVICE_STATUS status;
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));

    EXPECT_EQ(Install(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    SC_HANDLE differentCase = OpenServiceA(manager_, "dvsample", SERVICE_QUERY_STATUS);
    EXPECT_NE(differentCase, nullptr);
    EXPECT_TRUE(CloseServiceHandle(differentCase));
    EXPECT_TRUE(CloseServiceHandle(service));
}

TEST_F(ServiceTest, UnknownNamesAndMissingRightsFailAsOnWindows)
{
    EXPECT_EQ(OpenServiceA(manager_, "NoSuchService", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    // The event source key under Services is a key, not a service.
    HKEY eventSource;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\X", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &eventSource, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(eventSource);
    EXPECT_EQ(OpenServiceA(manager_, "EventLog", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    EXPECT_EQ(CreateServiceA(manager_, "a\\b", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr, nullptr,
                             nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

    SC_HANDLE connectOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(connectOnly, nullptr);
    EXPECT_EQ(CreateServiceA(connectOnly, kSampleService, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr, nullptr,
                             nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseServiceHandle(connectOnly);

    SC_HANDLE created = Install();
    ASSERT_NE(created, nullptr);
    CloseServiceHandle(created);
    SC_HANDLE queryOnly = OpenServiceA(manager_, kSampleService, SERVICE_QUERY_STATUS);
    ASSERT_NE(queryOnly, nullptr);
    SERVICE_STATUS status;
    EXPECT_FALSE(ControlService(queryOnly, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteService(queryOnly));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ControlService(queryOnly, SERVICE_CONTROL_POWEREVENT, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseServiceHandle(queryOnly));
    EXPECT_FALSE(CloseServiceHandle(queryOnly));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ServiceTest, ReconfigureChangesOnlyWhatIsGiven)
{
    SC_HANDLE created = Install();
    ASSERT_NE(created, nullptr);
    CloseServiceHandle(created);
    SC_HANDLE service = OpenServiceA(manager_, kSampleService, SERVICE_CHANGE_CONFIG);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_NO_CHANGE, SERVICE_ERROR_SEVERE,
                                     "\"/opt/new\"", nullptr, nullptr, "Only\0", nullptr, nullptr, "New Name"));
    EXPECT_EQ(DwordValue(kServiceKey, "Start"), SERVICE_DEMAND_START);
    EXPECT_EQ(DwordValue(kServiceKey, "ErrorControl"), SERVICE_ERROR_SEVERE);
    EXPECT_EQ(StringValue(kServiceKey, "ImagePath"), std::string("\"/opt/new\"") + '\0');
    EXPECT_EQ(StringValue(kServiceKey, "DisplayName"), std::string("New Name") + '\0');
    EXPECT_EQ(StringValue(kServiceKey, "DependOnService"), std::string("Only\0\0", 6));
    EXPECT_EQ(StringValue(kServiceKey, "ObjectName"), std::string("LocalSystem") + '\0');
    EXPECT_FALSE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, 9, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    char text[] = "What the service does.";
    SERVICE_DESCRIPTIONA description = {text};
    ASSERT_TRUE(ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_EQ(StringValue(kServiceKey, "Description"), std::string(text) + '\0');
    char empty[] = "";
    description.lpDescription = empty;
    ASSERT_TRUE(ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_EQ(StringValue(kServiceKey, "Description"), "(no value)");
    EXPECT_FALSE(ChangeServiceConfig2A(service, 2, &description));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    CloseServiceHandle(service);
}

TEST_F(ServiceTest, DeleteRemovesTheWholeKeyTree)
{
    SC_HANDLE service = Install();
    ASSERT_NE(service, nullptr);
    HKEY state;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServiceKey) + "\\Persistent States\\Pvm\\Deeper").c_str(),
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &state, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    RegSetValueExA(state, "Held", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(state);
    HKEY parameters;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServiceKey) + "\\Parameters").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &parameters, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(parameters);

    ASSERT_TRUE(DeleteService(service));
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_TRUE(KeyExists("SYSTEM\\CurrentControlSet\\Services"));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(OpenServiceA(manager_, kSampleService, SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_TRUE(CloseServiceHandle(service));

    SC_HANDLE again = Install();
    EXPECT_NE(again, nullptr);
    CloseServiceHandle(again);
}

}  // namespace
