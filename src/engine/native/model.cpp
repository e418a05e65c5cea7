#include "engine/native/model.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace qor {

void release_tree(std::unique_ptr<Node> node) noexcept {
  // Right rotations turn the subtree into a chain along `right`, which is then
  // freed top-down; every node dies childless, so no destructor recurses.
  while (node) {
    if (node->left) {
      std::unique_ptr<Node> top = std::move(node->left);
      node->left = std::move(top->right);
      top->right = std::move(node);
      node = std::move(top);
    } else {
      std::unique_ptr<Node> next = std::move(node->right);
      node.reset();
      node = std::move(next);
    }
  }
}

Node::~Node() {
  release_tree(std::move(right));
  release_tree(std::move(left));
}

Node& Node::operator=(Node&& other) noexcept {
  if (this == &other) return *this;
  // `other` may live inside this node's subtree: take its contents first.
  std::unique_ptr<Node> old_left = std::move(left);
  std::unique_ptr<Node> old_right = std::move(right);
  indices = std::move(other.indices);
  left = std::move(other.left);
  right = std::move(other.right);
  is_split = other.is_split;
  split_feature = other.split_feature;
  split_threshold = other.split_threshold;
  is_finalized = other.is_finalized;
  value = other.value;
  class_counts = std::move(other.class_counts);
  release_tree(std::move(old_right));
  release_tree(std::move(old_left));
  return *this;
}

TaskKind task_from_name(std::string_view name) noexcept {
  return name == "classification" ? TaskKind::Classification : TaskKind::Regression;
}

Criterion parse_criterion(std::string_view name) {
  if (name == "gini") return Criterion::Gini;
  if (name == "entropy") return Criterion::Entropy;
  if (name == "mse") return Criterion::Mse;
  if (name == "mae") return Criterion::Mae;
  throw std::invalid_argument("Unknown criterion: " + std::string(name));
}

std::unique_ptr<QORModel> make_model(std::string_view task, std::string_view criterion,
                                     std::int32_t max_depth, std::int32_t min_samples_split,
                                     std::int32_t min_samples_leaf) {
  ModelParams params;
  params.task = task_from_name(task);
  params.criterion = parse_criterion(criterion);
  params.max_depth = max_depth;
  params.min_samples_split = min_samples_split;
  params.min_samples_leaf = min_samples_leaf;
  return std::make_unique<QORModel>(params);
}

}  // namespace qor
