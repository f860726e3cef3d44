// The "images" section of a scene file: each entry names an image file; the
// name then stands for the image element's tag wherever a tag parameter
// takes a name. A file named by several entries (or scenes) is read once.
#include <filesystem>

#include "render_internal.h"
#include "vekohost/textures.h"

namespace vh {

namespace {

// Nodes whose parameters name `image` (a tag parameter given the name).
std::string usersOf(const json &nodes, const std::string &image) {
    std::string users;
    if (!nodes.is_array()) return users;
    for (const auto &n : nodes) {
        if (!n.is_object() || !n.contains("params") || !n["params"].is_object()) continue;
        for (const auto &v : n["params"])
            if (v.is_string() && v.get<std::string>() == image) {
                users += (users.empty() ? "" : ", ") + std::string("\"") + n.value("name", std::string("?")) + "\"";
                break;
            }
    }
    return users;
}

}  // namespace

void loadSceneImages(Scene &scene, const json &images, const json &nodes, const std::string &file,
                     const std::string &baseDir, std::map<std::string, bool> &names) {
    if (images.is_null()) return;
    if (!images.is_array()) throw Error(file + ": \"images\" must be a list of {\"name\", \"file\"}");
    for (size_t i = 0; i < images.size(); ++i) {
        const json &e = images[i];
        std::string where = file + ": images[" + std::to_string(i) + "]";
        if (!e.is_object()) throw Error(where + ": must be an object");
        for (auto it = e.begin(); it != e.end(); ++it)
            if (it.key() != "name" && it.key() != "file") throw Error(where + ": unknown key \"" + it.key() + "\"");
        if (!e.contains("name") || !e["name"].is_string() || e["name"].get<std::string>().empty())
            throw Error(where + ": needs a \"name\"");
        const std::string name = e["name"].get<std::string>();
        where += " (\"" + name + "\")";
        if (!e.contains("file") || !e["file"].is_string()) throw Error(where + ": needs a \"file\"");
        if (!names.emplace(name, true).second) throw Error(where + ": duplicate name");
        std::filesystem::path path(e["file"].get<std::string>());
        if (path.is_relative()) path = std::filesystem::path(baseDir) / path;
        std::shared_ptr<TextureImage> img;
        try {
            img = openTextureImage(path.string());
        } catch (const Error &err) {
            const std::string users = usersOf(nodes, name);
            throw Error(where + ": " + err.what() + (users.empty() ? "" : " (used by node " + users + ")"));
        }
        scene.net->defineTag(name, img->tag());
        scene.images.push_back(std::move(img));
    }
}

}  // namespace vh
