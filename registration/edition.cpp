#include "registration/edition.h"

namespace quillpost {
namespace {

const KeyValue kNormalService[] = {
    {"PR_DISPLAY_NAME", "Varnholt Quillpost"}, {"PR_RESOURCE_FLAGS", "SERVICE_SINGLE_COPY"},
    {"Providers", "VRQPN_AB, VRQPN_XP"},       {"PR_SERVICE_DLL_NAME", "vrqpn.dll"},
    {"PR_SERVICE_SUPPORT_FILES", "vrqpn.dll"}, {"PR_SERVICE_DELETE_FILES", "vrqpn.dll"},
    {"PR_SERVICE_ENTRY_NAME", "ServiceEntry"}, {"WIZARD_ENTRY_NAME", "QuillpostWizard"},
};

const KeyValue kNormalAddressBook[] = {
    {"PR_RESOURCE_TYPE", "MAPI_AB_PROVIDER"},
    {"PR_RESOURCE_FLAGS", "STATUS_PRIMARY_IDENTITY"},
    {"PR_PROVIDER_DLL_NAME", "vrqpn.dll"},
    {"PR_PROVIDER_DISPLAY", "Quillpost Address Book"},
    {"PR_DISPLAY_NAME", "Quillpost Address Book"},
};

const KeyValue kNormalTransport[] = {
    {"PR_RESOURCE_TYPE", "MAPI_TRANSPORT_PROVIDER"},
    {"PR_RESOURCE_FLAGS", "STATUS_PRIMARY_IDENTITY"},
    {"PR_PROVIDER_DLL_NAME", "vrqpn.dll"},
    {"PR_PROVIDER_DISPLAY", "Quillpost Courier"},
    {"PR_DISPLAY_NAME", "Quillpost Courier"},
};

const KeyValue kLiteService[] = {
    {"PR_DISPLAY_NAME", "Varnholt Quillpost Lite"},
    {"PR_RESOURCE_FLAGS", "SERVICE_SINGLE_COPY"},
    {"Providers", "VRQPL_AB, VRQPL_XP"},
    {"PR_SERVICE_DLL_NAME", "vrqpl.dll"},
    {"PR_SERVICE_SUPPORT_FILES", "vrqpl.dll"},
    {"PR_SERVICE_DELETE_FILES", "vrqpl.dll"},
    {"PR_SERVICE_ENTRY_NAME", "ServiceEntry"},
    {"WIZARD_ENTRY_NAME", "QuillpostWizard"},
};

const KeyValue kLiteAddressBook[] = {
    {"PR_RESOURCE_TYPE", "MAPI_AB_PROVIDER"},
    {"PR_RESOURCE_FLAGS", "STATUS_PRIMARY_IDENTITY"},
    {"PR_PROVIDER_DLL_NAME", "vrqpl.dll"},
    {"PR_PROVIDER_DISPLAY", "Quillpost Address Book"},
    {"PR_DISPLAY_NAME", "Quillpost Address Book"},
};

const KeyValue kLiteTransport[] = {
    {"PR_RESOURCE_TYPE", "MAPI_TRANSPORT_PROVIDER"},
    {"PR_RESOURCE_FLAGS", "STATUS_PRIMARY_IDENTITY"},
    {"PR_PROVIDER_DLL_NAME", "vrqpl.dll"},
    {"PR_PROVIDER_DISPLAY", "Quillpost Courier"},
    {"PR_DISPLAY_NAME", "Quillpost Courier"},
};

template <int N>
constexpr SectionTable Table(const char* section, const KeyValue (&pairs)[N]) {
  return SectionTable{section, pairs, N};
}

const Edition kNormal = {
    "VRQPN",
    "Varnholt Quillpost",
    "vrqpn.dll",
    {Table("VRQPN", kNormalService), Table("VRQPN_AB", kNormalAddressBook),
     Table("VRQPN_XP", kNormalTransport)},
};

const Edition kLite = {
    "VRQPL",
    "Varnholt Quillpost Lite",
    "vrqpl.dll",
    {Table("VRQPL", kLiteService), Table("VRQPL_AB", kLiteAddressBook),
     Table("VRQPL_XP", kLiteTransport)},
};

}  // namespace

const Edition& EditionFor(bool lite) { return lite ? kLite : kNormal; }

}  // namespace quillpost
